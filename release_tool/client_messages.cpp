#include "release_tool/client_messages.h"

#include "app/constants.h"

namespace {

struct ClientMessage {
    const char* german;
    const char* english;
};

// Every message the client's reader, policy, HTTPS, download and hashing code raises.
constexpr ClientMessage ClientMessages[] = {
    {"Manifest verweist nicht auf eine erlaubte HTTPS-Quelle",
     "url: the client's policy accepts only https on the download host " KESTROVA_DOWNLOAD_HOST},
    {"Manifest verweist nicht auf einen erlaubten Kestrova-Installer",
     "url: the client's policy accepts only a path in the download folder: it must start with "
     "\"/downloads/desktop/kestrova-\", contain \".exe\" and have no dot segment (\"..\" or \"%2e\") "
     "before its query"},
    {"Manifest enthaelt keinen gueltigen SHA-256",
     "sha256: the client's policy accepts only a digest of exactly 64 hexadecimal digits"},
    {"Manifest-Groesse ist unplausibel",
     "size: below the plausible minimum of 100000000 bytes that the client's policy accepts"},
    {"URL konnte nicht gelesen werden", "url: the client cannot split it into scheme, host and path"},
    {"Nur HTTPS-Downloads sind erlaubt", "url: the client downloads over https only"},
    {"WinHTTP konnte nicht gestartet werden", "WinHTTP could not be started"},
    {"Verbindung konnte nicht erstellt werden", "the HTTPS connection could not be set up"},
    {"HTTP-Request konnte nicht erstellt werden", "the HTTPS request could not be created"},
    {"Download-Request konnte nicht gesendet werden",
     "the HTTPS request failed: the host did not answer, its name did not resolve or its "
     "certificate is not trusted"},
    {"Download-Antwort konnte nicht gelesen werden", "the host sent no readable response"},
    {"HTTP-Status konnte nicht gelesen werden", "the host's response has no readable status"},
    {"Download konnte nicht gelesen werden", "the response body could not be read"},
    {"Download-Block konnte nicht gelesen werden", "a block of the response body could not be read"},
    {"Download konnte nicht gespeichert werden", "download: the temporary file could not be written"},
    {"SHA-256 konnte nicht gestartet werden", "CNG's SHA-256 could not be opened"},
    {"SHA-256 Objektgroesse konnte nicht gelesen werden", "CNG's SHA-256 object size could not be read"},
    {"SHA-256 Hash konnte nicht erstellt werden", "a CNG SHA-256 hash could not be created"},
    {"Installer-Datei konnte nicht geoeffnet werden", "installer: the file could not be opened for reading"},
    {"SHA-256 Hashing fehlgeschlagen", "CNG failed to hash the installer"},
    {"SHA-256 Abschluss fehlgeschlagen", "CNG failed to finish the installer's SHA-256"},
    {"Abgebrochen", "cancelled"},
};

constexpr char HttpStatusMessage[] = "Download-Server meldet HTTP ";

std::string Quoted(const std::string& german) { return " (the client says \"" + german + "\")"; }

}  // namespace

std::string DescribeFailure(const std::string& message) {
    for (const ClientMessage& known : ClientMessages) {
        if (message == known.german) return known.english + Quoted(message);
    }
    if (message.rfind(HttpStatusMessage, 0) == 0) {
        return "the host answered with HTTP status " + message.substr(sizeof(HttpStatusMessage) - 1) +
               Quoted(message);
    }
    return message;
}

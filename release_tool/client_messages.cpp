#include "release_tool/client_messages.h"

#include "app/constants.h"
#include "app/failure_messages.h"
#include "manifest/manifest_policy.h"

namespace {

struct ClientMessage {
    const char* german;
    const char* english;
};

// Every message the client's reader, policy, HTTPS, download and hashing code raises.
constexpr ClientMessage ClientMessages[] = {
    {ForeignSourceMessage,
     "url: the client's policy accepts only https on the download host " KESTROVA_DOWNLOAD_HOST},
    {ForeignInstallerMessage,
     "url: the client's policy accepts only a path in the download folder: it must start with "
     "\"/downloads/desktop/kestrova-\", contain \".exe\" and have no dot segment (\"..\" or \"%2e\") "
     "before its query"},
    {BadDigestMessage, "sha256: the client's policy accepts only a digest of exactly 64 hexadecimal digits"},
    {UrlUnreadableMessage, "url: the client cannot split it into scheme, host and path"},
    {HttpsOnlyMessage, "url: the client downloads over https only"},
    {SessionFailedMessage, "WinHTTP could not be started"},
    {ConnectionFailedMessage, "the HTTPS connection could not be set up"},
    {RequestFailedMessage, "the HTTPS request could not be created"},
    {SendFailedMessage,
     "the HTTPS request failed: the host did not answer, its name did not resolve or its "
     "certificate is not trusted"},
    {NoResponseMessage, "the host sent no readable response"},
    {NoStatusMessage, "the host's response has no readable status"},
    {BodyUnreadableMessage, "the response body could not be read"},
    {BlockUnreadableMessage, "a block of the response body could not be read"},
    {PartNotWrittenMessage, "download: the temporary file could not be written"},
    {HashProviderMessage, "CNG's SHA-256 could not be opened"},
    {HashObjectSizeMessage, "CNG's SHA-256 object size could not be read"},
    {HashCreateMessage, "a CNG SHA-256 hash could not be created"},
    {InstallerUnreadableMessage, "installer: the file could not be opened for reading"},
    {HashDataMessage, "CNG failed to hash the installer"},
    {HashFinishMessage, "CNG failed to finish the installer's SHA-256"},
    {CancelledMessage, "cancelled"},
};

std::string Quoted(const std::string& german) { return " (the client says \"" + german + "\")"; }

}  // namespace

std::string DescribeFailure(const std::string& message) {
    for (const ClientMessage& known : ClientMessages) {
        if (message == known.german) return known.english + Quoted(message);
    }
    if (message == ImplausibleSizeMessage) {
        return "size: below the plausible minimum of " + std::to_string(MinPlausibleSize) +
               " bytes that the client's policy accepts" + Quoted(message);
    }
    if (message.rfind(HttpStatusMessagePrefix, 0) == 0) {
        return "the host answered with HTTP status " + message.substr(sizeof(HttpStatusMessagePrefix) - 1) +
               Quoted(message);
    }
    return message;
}

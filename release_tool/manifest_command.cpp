#include "release_tool/manifest_command.h"

#include "cache/installer_verification.h"
#include "manifest/manifest_policy.h"
#include "release_tool/canonical_manifest.h"
#include "release_tool/client_reading.h"
#include "release_tool/console_output.h"
#include "release_tool/release_files.h"
#include "release_tool/value_rules.h"

#include <stdexcept>

namespace {

[[noreturn]] void Refuse(const std::string& member, const std::string& why) {
    throw std::runtime_error(member + ": " + why);
}

// Compares one value as the client reads it with the value intended.
void RequireReadBack(const std::string& member, bool fellBack, const std::string& read,
                     const std::string& intended) {
    if (fellBack) {
        Refuse(member, "the client's reader would not find it and would use its default \"" + read + "\"");
    }
    if (read != intended) {
        Refuse(member, "the client would read \"" + Printable(read) + "\" instead of \"" + intended + "\"");
    }
}

// Reads `text` as a client would and raises unless every member comes out as intended
// and the policy accepts the manifest without replacing anything.
void RequireClientReadsAsIntended(const std::string& text, const ReleaseValues& intended) {
    ClientReading reading = ReadAsClient(text);
    InstallerManifest& manifest = reading.manifest;
    RequireReadBack("url", reading.urlIsDefault, WideToUtf8(manifest.url), intended.url);
    RequireReadBack("fileName", reading.fileNameIsDefault, WideToUtf8(manifest.fileName), intended.fileName);
    if (reading.version != intended.version) {
        Refuse("version", "the client's reader would read \"" + Printable(reading.version) + "\" instead of \"" +
                              intended.version + "\"");
    }
    RequireReadBack("sha256", reading.sha256IsDefault, manifest.sha256, intended.sha256);
    RequireReadBack("size", reading.sizeIsDefault, std::to_string(manifest.size), std::to_string(intended.size));

    const std::wstring fileNameRead = manifest.fileName;
    CheckManifest(manifest);  // raises the client's own refusal
    if (manifest.fileName != fileNameRead) {
        Refuse("fileName", "the client's policy would replace \"" + intended.fileName + "\" with its default \"" +
                               WideToUtf8(manifest.fileName) + "\" (it replaces an empty name and any name "
                               "containing \"..\")");
    }
}

}  // namespace

void RunManifestCommand(const ManifestOptions& options) {
    ReleaseValues intended;
    RequireWindowsFileName(options.fileName);
    intended.url = StrictWideToUtf8(options.url, "url");
    intended.fileName = StrictWideToUtf8(options.fileName, "fileName");
    intended.version = StrictWideToUtf8(options.version, "version");
    RequireManifestValue("url", intended.url);
    RequireManifestValue("fileName", intended.fileName);
    RequireManifestValue("version", intended.version);

    RequireFile(options.installer, "installer");
    {
        const HashedFile hashed = HashInstallerFile(options.installer);
        intended.sha256 = hashed.sha256;
        // Taken while the hashed file is still open: nobody can have changed it since.
        intended.size = InstallerFileSize(options.installer);
    }
    const std::string text = CanonicalManifest(intended);

    if (!options.outGiven) {
        RequireClientReadsAsIntended(text, intended);
        WriteOut(text);
        return;
    }
    // The check reads the bytes from disk, as written, before anything is at `out`.
    TemporaryFile written = NewTemporaryFile(DirectoryOf(options.out, "out"), "out");
    WriteWholeFile(written.path(), text, "out");
    RequireClientReadsAsIntended(ReadWholeFile(written.path(), "out"), intended);
    MoveIntoPlace(written, options.out, "out");
    PrintLine("wrote " + WideToUtf8(options.out) + ": sha256 " + intended.sha256 + ", size " +
              std::to_string(intended.size));
}

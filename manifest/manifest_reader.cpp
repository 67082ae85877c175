#include "manifest/manifest_reader.h"

#include "app/utf8.h"
#include "manifest/manifest_text.h"

#include <cctype>

InstallerManifest ReadManifest(const std::string& text) {
    InstallerManifest manifest;
    manifest.url = Utf8ToWide(ReadManifestString(text, "url", DefaultInstallerUrlUtf8));
    manifest.fileName = Utf8ToWide(ReadManifestString(text, "fileName", DefaultFileNameUtf8));
    manifest.sha256 = ReadManifestString(text, "sha256", DefaultSha256);
    // "C" locale: only A to Z change.
    for (char& byte : manifest.sha256) {
        byte = static_cast<char>(std::tolower(static_cast<unsigned char>(byte)));
    }
    manifest.size = ReadManifestSize(text);
    return manifest;
}

#include "release_tool/check_command.h"

#include "app/constants.h"
#include "cache/cache_refresh.h"
#include "cache/installer_verification.h"
#include "manifest/manifest_policy.h"
#include "net/caching_headers.h"
#include "net/response_body.h"
#include "release_tool/caching_rules.h"
#include "release_tool/client_reading.h"
#include "release_tool/console_output.h"
#include "release_tool/release_files.h"

#include <stdexcept>
#include <utility>

namespace {

void PrintMember(const char* member, bool fellBack, const std::string& value) {
    PrintLine(std::string(member) + (fellBack ? " (default)" : "") + ": " + Printable(value));
}

void PrintReading(const ClientReading& reading) {
    const InstallerManifest& manifest = reading.manifest;
    PrintMember("url", reading.urlIsDefault, WideToUtf8(manifest.url));
    PrintMember("fileName", reading.fileNameIsDefault, WideToUtf8(manifest.fileName));
    PrintLine(reading.version.empty() ? "version (missing; the client does not read it):"
                                      : "version: " + Printable(reading.version));
    PrintMember("sha256", reading.sha256IsDefault, manifest.sha256);
    PrintMember("size", reading.sizeIsDefault, std::to_string(manifest.size));
}

// Verifies the file at `path` as the setup verifies its cached installer; `subject`
// names it in the reason ("the installer", "the download").
void VerifyAsClient(const std::wstring& path, const InstallerManifest& manifest, const std::string& subject) {
    if (VerifyInstaller(path, manifest)) {
        PrintLine("verified: " + subject + " has the manifest's size and SHA-256");
        return;
    }
    // The setup only answers no; find out which of the two differs.
    const std::uint64_t size = InstallerFileSize(path);
    if (size != manifest.size) {
        throw std::runtime_error("size: " + subject + " has " + std::to_string(size) +
                                 " bytes but the manifest says " + std::to_string(manifest.size));
    }
    const HashedFile hashed = HashInstallerFile(path);
    throw std::runtime_error("sha256: " + subject + "'s SHA-256 is " + hashed.sha256 + " but the manifest says " +
                             Printable(manifest.sha256));
}

// Prints the caching headers the host sent for `subject` ("manifest", "installer"), and
// a warning on stderr when `warning` finds them wrong for it; the check goes on.
void ReportCaching(const char* subject, const CachingHeaders& headers,
                   std::string (*warning)(const CacheLifetime&)) {
    const std::string prefix = std::string(subject) + " ";
    PrintLine(prefix + "Cache-Control: " + (headers.cacheControl.empty() ? "(none)" : headers.cacheControl));
    PrintLine(prefix + "Expires: " + (headers.expires.empty() ? "(none)" : headers.expires));
    if (!headers.age.empty()) PrintLine(prefix + "Age: " + headers.age);
    if (!headers.etag.empty()) PrintLine(prefix + "ETag: " + headers.etag);
    const std::string text =
        warning(ReadCacheLifetime(headers.cacheControl, !headers.expires.empty(), headers.expiresInSeconds));
    if (!text.empty()) PrintErrorLine("warning: " + text);
}

// Downloads the manifest's url as the setup's cache refresh does, into a temporary file,
// and verifies it there.
void DownloadAndVerify(const InstallerManifest& manifest) {
    const TemporaryFile download = NewTemporaryFile(TemporaryDirectory(), "download");
    PrintLine("download: " + WideToUtf8(manifest.url) + " into " + WideToUtf8(download.path()));
    {
        const DownloadRequest request = OpenHttpsGet(manifest.url.c_str());
        ReportCaching("installer", QueryCachingHeaders(request), InstallerCachingWarning);
        FileHandle file(CreateFileW(download.path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) throw std::runtime_error("download: cannot write " + WideToUtf8(download.path()));
        // The expected size only scales the setup's progress bar, which is not shown here.
        DownloadToFile(request, file, manifest.size, download.path());
    }
    PrintLine("downloaded: " + std::to_string(InstallerFileSize(download.path())) + " bytes");
    VerifyAsClient(download.path(), manifest, "the download");
}

}  // namespace

void RunCheckCommand(const CheckOptions& options) {
    std::string text;
    if (options.live) {
        PrintLine("manifest: " + WideToUtf8(ManifestUrl));
        DownloadRequest request = OpenHttpsGet(ManifestUrl);
        ReportCaching("manifest", QueryCachingHeaders(request), ManifestCachingWarning);
        text = ReadResponseBody(std::move(request));
    } else {
        PrintLine("manifest: " + WideToUtf8(options.manifestFile));
        text = ReadWholeFile(options.manifestFile, "manifest");
    }
    PrintLine("manifest bytes: " + std::to_string(text.size()));

    ClientReading reading = ReadAsClient(text);
    PrintReading(reading);
    InstallerManifest& manifest = reading.manifest;
    const std::wstring fileNameRead = manifest.fileName;
    CheckManifest(manifest);  // raises the client's own refusal
    PrintLine("policy: accepted");
    if (manifest.fileName == fileNameRead) {
        PrintLine("file name after the policy: " + WideToUtf8(manifest.fileName));
    } else {
        PrintLine("file name after the policy (replaced, since it is empty or contains \"..\"): " +
                  WideToUtf8(manifest.fileName));
    }

    if (options.installerGiven) {
        RequireFile(options.installer, "installer");
        PrintLine("installer: " + WideToUtf8(options.installer));
        VerifyAsClient(options.installer, manifest, "the installer");
    } else if (options.download) {
        DownloadAndVerify(manifest);
    } else if (options.live) {
        // The installer's headers without its body.
        ReportCaching("installer", QueryCachingHeaders(OpenHttpsRequest(manifest.url.c_str(), L"HEAD")),
                      InstallerCachingWarning);
    }
    PrintLine("result: a client accepts this");
}

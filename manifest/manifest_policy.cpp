#include "manifest/manifest_policy.h"

#include "app/failure_messages.h"
#include "net/url_parts.h"

#include <cctype>
#include <stdexcept>

namespace {

constexpr int HttpsScheme = 2;
constexpr wchar_t InstallerPathPrefix[] = L"/downloads/desktop/kestrova-";
constexpr size_t DigestLength = 64;

// True when the URL path (before any query or fragment) could leave the download
// folder on a server that resolves dot segments: "..", or a dot written as %2e.
bool MayLeaveFolder(const std::wstring& lowercasePath) {
    const std::wstring path = lowercasePath.substr(0, lowercasePath.find_first_of(L"?#"));
    return path.find(L"..") != std::wstring::npos || path.find(L"%2e") != std::wstring::npos;
}

bool IsHexDigest(const std::string& digest) {
    if (digest.size() != DigestLength) return false;
    for (const char byte : digest) {
        if (!std::isxdigit(static_cast<unsigned char>(byte))) return false;
    }
    return true;
}

}  // namespace

void CheckManifest(InstallerManifest& manifest) {
    const UrlParts parts = ParseUrl(manifest.url.c_str());
    const std::wstring host = LowercaseWide(parts.host);
    const std::wstring path = LowercaseWide(parts.path);

    // The port is deliberately not checked: any port on the download host is its own.
    if (parts.scheme != HttpsScheme || host != DownloadHost) {
        throw std::runtime_error(ForeignSourceMessage);
    }
    if (path.rfind(InstallerPathPrefix, 0) != 0 || path.find(L".exe") == std::wstring::npos ||
        MayLeaveFolder(path)) {
        throw std::runtime_error(ForeignInstallerMessage);
    }
    if (!IsHexDigest(manifest.sha256)) {
        throw std::runtime_error(BadDigestMessage);
    }
    if (manifest.size < MinPlausibleSize) {
        throw std::runtime_error(ImplausibleSizeMessage);
    }
    if (manifest.fileName.empty() || manifest.fileName.find(L"..") != std::wstring::npos) {
        manifest.fileName = DefaultFileName;
    }
}

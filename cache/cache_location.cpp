#include "cache/cache_location.h"

#include "cache/directory_prefixes.h"

#include <windows.h>

namespace {

constexpr wchar_t CacheSubpath[] = L"\\Kestrova\\InstallerCache";

}  // namespace

std::wstring ResolveCacheDirectory() {
    wchar_t root[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", root, MAX_PATH);
    // One unsigned test covers both 0 (missing, empty) and a value that did not fit.
    if (length - 1 > static_cast<DWORD>(MAX_PATH - 2)) return std::wstring(L".") + CacheSubpath;
    return std::wstring(root) + CacheSubpath;
}

void EnsureDirectoryPath(const std::wstring& path) {
    for (const std::wstring& prefix : DirectoryPrefixes(path)) {
        // Existing or uncreatable levels are expected; the result does not matter.
        CreateDirectoryW(prefix.c_str(), nullptr);
    }
}

#pragma once
// The compiled-in release constants. The host and the default digest come from the
// build configuration (KESTROVA_DOWNLOAD_HOST, KESTROVA_DEFAULT_SHA256); the program
// itself reads no configuration.

#include <cstdint>

#if !defined(KESTROVA_DOWNLOAD_HOST) || !defined(KESTROVA_DEFAULT_SHA256)
#error "KESTROVA_DOWNLOAD_HOST and KESTROVA_DEFAULT_SHA256 come from the build"
#endif

#define KESTROVA_WIDE_(text) L##text
#define KESTROVA_WIDE(text) KESTROVA_WIDE_(text)

#define KESTROVA_MANIFEST_PATH "/downloads/desktop/kestrova-win-x64.json"
#define KESTROVA_DEFAULT_FILE_NAME "Kestrova-3.2.0-win-x64.exe"
#define KESTROVA_DEFAULT_INSTALLER_URL \
    "https://" KESTROVA_DOWNLOAD_HOST "/downloads/desktop/" KESTROVA_DEFAULT_FILE_NAME

inline constexpr wchar_t DownloadHost[] = KESTROVA_WIDE(KESTROVA_DOWNLOAD_HOST);
inline constexpr wchar_t ManifestUrl[] =
    KESTROVA_WIDE("https://" KESTROVA_DOWNLOAD_HOST KESTROVA_MANIFEST_PATH);
inline constexpr wchar_t DefaultInstallerUrl[] = KESTROVA_WIDE(KESTROVA_DEFAULT_INSTALLER_URL);
inline constexpr wchar_t DefaultFileName[] = KESTROVA_WIDE(KESTROVA_DEFAULT_FILE_NAME);
inline constexpr char DefaultSha256[] = KESTROVA_DEFAULT_SHA256;
inline constexpr std::uint64_t DefaultSize = 764840193;

// The same defaults in UTF-8, as fallbacks for the manifest text search.
inline constexpr char DefaultInstallerUrlUtf8[] = KESTROVA_DEFAULT_INSTALLER_URL;
inline constexpr char DefaultFileNameUtf8[] = KESTROVA_DEFAULT_FILE_NAME;

// Detail text while the manifest is fetched: "Verbinde mit <host> ...".
inline constexpr wchar_t ConnectingDetail[] =
    KESTROVA_WIDE("Verbinde mit " KESTROVA_DOWNLOAD_HOST " ...");

inline constexpr wchar_t BoxTitle[] = L"Kestrova Setup";

#include "net/caching_headers.h"

#include <string>

namespace {

// The header's value (the `index`-th of that name), or false when there is none.
// A header without a query constant of its own goes by `name` with WINHTTP_QUERY_CUSTOM
// (Wine 8 has no entry for WINHTTP_QUERY_ETAG and faults on it).
bool QueryText(HINTERNET request, DWORD query, DWORD index, std::wstring& value,
               const wchar_t* name = WINHTTP_HEADER_NAME_BY_INDEX) {
    DWORD bytes = 0;
    WinHttpQueryHeaders(request, query, name, WINHTTP_NO_OUTPUT_BUFFER, &bytes, &index);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return false;
    value.assign(bytes / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, query, name, value.data(), &bytes, &index)) {
        return false;
    }
    value.resize(bytes / sizeof(wchar_t));
    return true;
}

// Header values are ASCII; anything else is shown as '?'.
std::string Ascii(const std::wstring& text) {
    std::string ascii;
    for (wchar_t c : text) ascii += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    return ascii;
}

// Seconds since 1601 (the FILETIME epoch); false for a time that is not one.
bool Seconds(const SYSTEMTIME& time, std::int64_t& seconds) {
    FILETIME file{};
    if (!SystemTimeToFileTime(&time, &file)) return false;
    const std::uint64_t ticks = (static_cast<std::uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
    seconds = static_cast<std::int64_t>(ticks / 10000000);
    return true;
}

// A date header in seconds since 1601; false when absent or not a date.
bool QueryTime(HINTERNET request, DWORD query, std::int64_t& seconds) {
    SYSTEMTIME time{};
    DWORD bytes = sizeof(time);
    return WinHttpQueryHeaders(request, query | WINHTTP_QUERY_FLAG_SYSTEMTIME, WINHTTP_HEADER_NAME_BY_INDEX, &time,
                               &bytes, WINHTTP_NO_HEADER_INDEX) &&
           Seconds(time, seconds);
}

}  // namespace

CachingHeaders QueryCachingHeaders(const DownloadRequest& request) {
    const HINTERNET handle = request.request.get();
    CachingHeaders headers;
    std::wstring value;
    // Bounded, in case a WinHTTP returns the first header for every index.
    for (DWORD index = 0; index < 8 && QueryText(handle, WINHTTP_QUERY_CACHE_CONTROL, index, value); ++index) {
        if (!headers.cacheControl.empty()) headers.cacheControl += ", ";
        headers.cacheControl += Ascii(value);
    }
    if (QueryText(handle, WINHTTP_QUERY_EXPIRES, 0, value)) headers.expires = Ascii(value);
    if (QueryText(handle, WINHTTP_QUERY_AGE, 0, value)) headers.age = Ascii(value);
    if (QueryText(handle, WINHTTP_QUERY_CUSTOM, 0, value, L"ETag")) headers.etag = Ascii(value);

    std::int64_t expires = 0;
    std::int64_t date = 0;
    if (!headers.expires.empty() && QueryTime(handle, WINHTTP_QUERY_EXPIRES, expires)) {
        if (!QueryTime(handle, WINHTTP_QUERY_DATE, date)) {
            SYSTEMTIME now{};
            GetSystemTime(&now);
            Seconds(now, date);
        }
        headers.expiresInSeconds = expires - date;
    }
    return headers;
}

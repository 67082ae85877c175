#pragma once

#include <cstdint>
#include <string>

// The parts of a URL the program needs. `path` is the URL path followed by its query
// and fragment, ready to be used as a request's object name.
struct UrlParts {
    int scheme = 0;          // INTERNET_SCHEME_HTTP (1) or INTERNET_SCHEME_HTTPS (2)
    std::uint16_t port = 0;  // explicit port, or the scheme's default
    std::wstring host;       // as written: no lower-casing, no decoding
    std::wstring path;
};

// Splits `url` without escaping or decoding. Raises "URL konnte nicht gelesen werden"
// for text that is no URL, an unknown scheme, a host over 255, a path over 4095 or a
// query over 2047 characters.
UrlParts ParseUrl(const wchar_t* url);

// Lower-cases the ASCII capitals A to Z; every other unit stays, so does the length.
std::wstring LowercaseWide(std::wstring text);

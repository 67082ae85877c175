#pragma once
// Plain text search over the manifest bytes. This is no JSON parser: a value is found
// by its quoted member name, and anything the search cannot use gives the default.
// Free of platform calls, so it also builds natively for sanitizers and fuzzing.

#include "app/constants.h"

#include <cstdint>
#include <string>

// The string value of the first "key" in `text`: after the quoted name, the first
// colon, then the first double quote opens the value. A backslash takes the next byte
// literally; the value ends at an unescaped double quote or at the end of the text.
// Returns `defaultValue` when the name, the colon or the opening quote is missing or
// the value is empty.
std::string ReadManifestString(const std::string& text, const std::string& key,
                               const std::string& defaultValue);

// The first run of decimal digits after the first "size" and its colon, whatever
// stands in between, accumulated modulo 2^64. Returns `fallback` (the program passes
// none: DefaultSize) when there is no such run or its value is 0.
std::uint64_t ReadManifestSize(const std::string& text, std::uint64_t fallback = DefaultSize);

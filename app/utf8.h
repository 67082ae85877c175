#pragma once

#include <string>

// UTF-8 to UTF-16. Stops at the first zero byte; malformed sequences are replaced by
// the platform. Never fails: empty input, or input that starts with a zero byte,
// gives an empty result.
std::wstring Utf8ToWide(const std::string& text);

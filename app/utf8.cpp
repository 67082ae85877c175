#include "app/utf8.h"

#include <windows.h>

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return {};
    // Length -1: the text is read as zero-terminated, so a zero byte ends it.
    int units = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (units <= 1) return {};
    std::wstring wide(static_cast<size_t>(units - 1), L'\0');
    // The terminator goes into the string's own terminator slot.
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), units);
    return wide;
}

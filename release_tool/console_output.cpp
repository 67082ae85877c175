#include "release_tool/console_output.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <stdexcept>

void UseBinaryConsoleOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void WriteOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void PrintLine(const std::string& line) { WriteOut(line + "\n"); }

void PrintErrorLine(const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

namespace {

std::string ConvertToUtf8(const std::wstring& text, DWORD flags) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, flags, text.data(), length, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

}  // namespace

std::string WideToUtf8(const std::wstring& text) { return ConvertToUtf8(text, 0); }

std::string StrictWideToUtf8(const std::wstring& text, const char* member) {
    const std::string utf8 = ConvertToUtf8(text, WC_ERR_INVALID_CHARS);
    if (utf8.empty() && !text.empty()) {
        throw std::runtime_error(std::string(member) +
                                 ": is not valid Unicode text (it holds an unpaired surrogate)");
    }
    return utf8;
}

std::string Printable(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string shown;
    for (const char byte : text) {
        const auto unit = static_cast<unsigned char>(byte);
        if (unit < 0x20 || unit == 0x7f) {
            shown += "\\x";
            shown += hex[unit >> 4];
            shown += hex[unit & 0x0f];
        } else {
            shown += byte;
        }
    }
    return shown;
}

#include "release_tool/value_rules.h"

#include "release_tool/console_output.h"

#include <stdexcept>

namespace {

std::string Hex(unsigned unit) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "0x";
    text += digits[(unit >> 4) & 0x0f];
    text += digits[unit & 0x0f];
    return text;
}

[[noreturn]] void Refuse(const char* member, const std::string& why) {
    throw std::runtime_error(std::string(member) + ": " + why);
}

bool IsDeviceName(const std::wstring& name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& unit : stem) {
        if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - L'a' + L'A');
    }
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") return true;
    return stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
           stem[3] >= L'1' && stem[3] <= L'9';
}

}  // namespace

void RequireManifestValue(const char* member, const std::string& value) {
    if (value.empty()) Refuse(member, "empty; the client's reader takes an empty value as missing");
    for (const char byte : value) {
        const auto unit = static_cast<unsigned char>(byte);
        if (unit == '"') {
            Refuse(member, "contains a double quote (\"), where the client's reader would end the value");
        }
        if (unit == '\\') {
            Refuse(member, "contains a backslash (\\), which the client's reader would drop as an escape");
        }
        if (unit < 0x20 || unit == 0x7f) {
            Refuse(member, "contains the control character " + Hex(unit) +
                               ", which JSON allows only escaped and the client's reader decodes no escapes");
        }
    }
}

void RequireWindowsFileName(const std::wstring& name) {
    for (const wchar_t unit : name) {
        if (unit == L'\\' || unit == L'/') {
            Refuse("fileName", std::string("contains a path separator (") + static_cast<char>(unit) +
                                   "); the client would look for the installer in a folder of its cache "
                                   "that it never creates");
        }
        if (unit == L':') {
            Refuse("fileName", "contains a colon, which Windows does not allow in a file name "
                               "(it names a drive or an alternate data stream)");
        }
        if (unit == L'<' || unit == L'>' || unit == L'"' || unit == L'|' || unit == L'?' || unit == L'*') {
            Refuse("fileName", std::string("contains \"") + static_cast<char>(unit) +
                                   "\", which Windows does not allow in a file name");
        }
        if (unit < 0x20) {
            Refuse("fileName", "contains the control character " + Hex(unit) +
                                   ", which Windows does not allow in a file name");
        }
    }
    if (!name.empty() && (name.back() == L'.' || name.back() == L' ')) {
        Refuse("fileName", "ends in a dot or a space, which Windows drops from a file name");
    }
    if (IsDeviceName(name)) {
        Refuse("fileName", "\"" + WideToUtf8(name) + "\" names a device on Windows, not a file");
    }
}

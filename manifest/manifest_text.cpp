#include "manifest/manifest_text.h"

namespace {

bool IsDigit(char byte) { return byte >= '0' && byte <= '9'; }

}  // namespace

std::string ReadManifestString(const std::string& text, const std::string& key,
                               const std::string& defaultValue) {
    const size_t name = text.find('"' + key + '"');
    if (name == std::string::npos) return defaultValue;
    const size_t colon = text.find(':', name + key.size() + 2);
    if (colon == std::string::npos) return defaultValue;
    const size_t opening = text.find('"', colon + 1);
    if (opening == std::string::npos) return defaultValue;

    std::string value;
    for (size_t at = opening + 1; at < text.size(); ++at) {
        const char byte = text[at];
        if (byte == '"') break;
        if (byte == '\\' && at + 1 < text.size()) ++at;
        value += text[at];
    }
    return value.empty() ? defaultValue : value;
}

std::uint64_t ReadManifestSize(const std::string& text, std::uint64_t fallback) {
    const size_t name = text.find("\"size\"");
    if (name == std::string::npos) return fallback;
    size_t at = text.find(':', name + 6);
    if (at == std::string::npos) return fallback;
    while (at < text.size() && !IsDigit(text[at])) ++at;
    if (at == text.size()) return fallback;

    std::uint64_t size = 0;  // wraps modulo 2^64 by design: no overflow check
    for (; at < text.size() && IsDigit(text[at]); ++at) {
        size = size * 10 + static_cast<std::uint64_t>(text[at] - '0');
    }
    return size == 0 ? fallback : size;
}

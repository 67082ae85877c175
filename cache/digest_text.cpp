#include "cache/digest_text.h"

std::string DigestText(const unsigned char* digest, std::size_t length) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (std::size_t at = 0; at < length; ++at) {
        text += Hex[digest[at] >> 4];
        text += Hex[digest[at] & 0x0F];
    }
    return text;
}

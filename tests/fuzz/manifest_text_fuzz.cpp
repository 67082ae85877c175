// libFuzzer target over the manifest text search: every member the program reads,
// plus a name taken from the input itself. Besides the sanitizers' checks it asserts
// what the search promises: a value is the default or a non-empty text no longer
// than the input, and a size is never 0.
#include "manifest/manifest_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string fallback = "fallback";
    const std::string keyFromInput = text.substr(0, text.find('\n') == std::string::npos ? 0 : text.find('\n'));
    for (const std::string& key : {std::string("url"), std::string("fileName"), std::string("sha256"),
                                   std::string("version"), keyFromInput}) {
        const std::string value = ReadManifestString(text, key, fallback);
        if (value.empty() || (value != fallback && value.size() > text.size())) std::abort();
    }
    if (ReadManifestSize(text) == 0) std::abort();
    return 0;
}

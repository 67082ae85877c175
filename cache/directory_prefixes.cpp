#include "cache/directory_prefixes.h"

std::vector<std::wstring> DirectoryPrefixes(const std::wstring& path) {
    std::vector<std::wstring> prefixes;
    for (size_t length = 1; length <= path.size(); ++length) {
        const wchar_t unit = path[length - 1];
        const bool separator = unit == L'\\' || unit == L'/';
        const bool last = length == path.size();
        if (length > 3 && (separator || last)) prefixes.push_back(path.substr(0, length));
    }
    return prefixes;
}

#pragma once

#include <cstdint>
#include <string>

// The values of a release's manifest, as they are meant to be read (text in UTF-8).
struct ReleaseValues {
    std::string url;
    std::string fileName;
    std::string version;
    std::string sha256;
    std::uint64_t size = 0;
};

// The manifest text: a JSON object with "url", "fileName", "version", "sha256" and
// "size", in that order, one member a line, UTF-8 without byte order mark, "\n" line
// ends. Values go in unescaped, so they must be free of what JSON would need escaped
// (RequireManifestValue).
std::string CanonicalManifest(const ReleaseValues& values);

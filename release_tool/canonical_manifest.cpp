#include "release_tool/canonical_manifest.h"

std::string CanonicalManifest(const ReleaseValues& values) {
    return "{\n"
           "  \"url\": \"" + values.url + "\",\n"
           "  \"fileName\": \"" + values.fileName + "\",\n"
           "  \"version\": \"" + values.version + "\",\n"
           "  \"sha256\": \"" + values.sha256 + "\",\n"
           "  \"size\": " + std::to_string(values.size) + "\n"
           "}\n";
}

#pragma once

#include "app/constants.h"

#include <cstdint>
#include <string>

// What the manifest says about the installer; every field starts at the compiled-in
// default of the reference release.
struct InstallerManifest {
    std::wstring url = DefaultInstallerUrl;
    std::wstring fileName = DefaultFileName;
    std::string sha256 = DefaultSha256;  // hex digits, lower case after reading
    std::uint64_t size = DefaultSize;    // bytes
};

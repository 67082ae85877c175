#pragma once

#include "manifest/installer_manifest.h"

#include <cstdint>

// The smallest installer size the policy accepts, in bytes.
inline constexpr std::uint64_t MinPlausibleSize = 100000000;

// Accepts the manifest only when its url is https on the download host, under
// "/downloads/desktop/kestrova-" (with no ".." or "%2e" in the path that could lead
// out of that folder) and with ".exe" in it, its digest is 64 hex digits
// and its size at least `MinPlausibleSize`; checked in that order, the first failure
// raises its message. An empty file name, or one containing "..", is replaced by the
// default. Touches nothing on disk.
void CheckManifest(InstallerManifest& manifest);

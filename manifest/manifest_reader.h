#pragma once

#include "manifest/installer_manifest.h"

#include <string>

// Reads "url", "fileName", "sha256" (lower-cased) and "size" from the manifest text;
// each missing, empty or unusable value keeps its default. Never fails on content.
InstallerManifest ReadManifest(const std::string& text);

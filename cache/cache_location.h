#pragma once

#include <string>

// The cache directory: the LOCALAPPDATA folder (or "." when that variable is missing,
// empty or 260 characters or longer) followed by "\Kestrova\InstallerCache".
std::wstring ResolveCacheDirectory();

// Tries to create every level of `path`, shortest first. Reports nothing: levels that
// exist or cannot be created are passed over, and a later file operation fails instead.
void EnsureDirectoryPath(const std::wstring& path);

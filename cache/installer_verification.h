#pragma once

#include "manifest/installer_manifest.h"

#include <string>

// True when the file at `path` has the manifest's size and SHA-256. A size that
// differs (a missing file counts as 0) answers false at once, without any status or
// hashing; otherwise it shows "Pruefe Download" at 94 and hashes the file in 1 MiB
// blocks, pumping after each. A read error ends the hashing like the end of the file.
// Raises when CNG or opening the file fails (each with its own message), or
// "Abgebrochen"; every handle is released by then and nothing on disk changes.
bool VerifyInstaller(const std::wstring& path, const InstallerManifest& manifest);

#pragma once

#include "app/installer_launch.h"
#include "manifest/installer_manifest.h"

#include <windows.h>

#include <string>

// Runs the setup from the window to the hand-over of the verified installer, stage
// after stage on this thread. Returns after the information box; raises a
// std::exception carrying the user's German message on any failure.
void SetupRun(HINSTANCE instance);

// The cache decision and the launch: uses the cached copy at `targetPath` when it verifies
// ("Installer bereits vorhanden" at 96), else downloads and verifies it, then hands it to
// the shell through `shellOpen`. The verified file stays open from its hashing until the
// shell call has returned: others can read it meanwhile, but nobody can replace it.
// Raises what the verification, the refresh and the launch raise.
void StartVerifiedInstaller(const InstallerManifest& manifest, const std::wstring& targetPath,
                            ShellOpenFunction shellOpen);

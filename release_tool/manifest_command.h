#pragma once

#include "release_tool/command_line.h"

// `manifest`: hashes the installer with the setup's own code, writes the canonical
// manifest to a temporary file beside `out` (or keeps it in memory for stdout), reads
// those bytes back with the setup's reader and policy, and only when the client would
// read every value as intended and accept it, moves the file into place (or writes the
// text to stdout). Raises "<member>: <why>" otherwise, or when a file cannot be read or
// written; nothing is then left at `out` (a file that was there stays as it was).
void RunManifestCommand(const ManifestOptions& options);

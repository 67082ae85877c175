#pragma once

#include "app/handles.h"
#include "manifest/installer_manifest.h"

#include <cstdint>
#include <string>

// The size of the file at `path` in bytes; 0 when it cannot be read (a missing file).
std::uint64_t InstallerFileSize(const std::wstring& path);

// An installer file, still open, and the SHA-256 of what was read from it.
struct HashedFile {
    FileHandle file;     // open for reading; others may read it, but not write, rename or delete it
    std::string sha256;  // 64 lower-case hexadecimal digits
};

// Opens `path` for reading with read sharing only, so the file cannot change on disk while
// the returned handle lives, and hashes it with CNG SHA-256 in 1 MiB blocks, pumping after
// each. A read error ends the hashing like the end of the file. Raises when CNG or opening
// the file fails (each with its own message), or "Abgebrochen"; every handle is released by
// then and nothing on disk changes.
HashedFile HashInstallerFile(const std::wstring& path);

// The installer at `path`, still open as HashInstallerFile leaves it, when it has the
// manifest's size and SHA-256; an empty handle when not. A size that differs (a missing file
// counts as 0) answers at once, without any status or hashing; otherwise it shows
// "Pruefe Download" at 94 and hashes the file. Raises what HashInstallerFile raises.
FileHandle VerifyInstaller(const std::wstring& path, const InstallerManifest& manifest);

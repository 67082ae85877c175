#pragma once

#include "app/handles.h"
#include "manifest/installer_manifest.h"
#include "net/download_request.h"

#include <cstdint>
#include <string>

// Deletes `targetPath` and its ".part" file, downloads the manifest's url into the
// ".part" file with progress, moves it into place and verifies it. Returns only when
// `targetPath` holds the verified installer, with the file still open as the verification
// left it (readable by others, but neither writable, renamable nor deletable). On failure nothing is left behind but
// what the download's own clean-up leaves: after "Abgebrochen" the partial ".part"
// file stays for the next run to delete; a verified-wrong file is deleted.
FileHandle RefreshCachedInstaller(const InstallerManifest& manifest, const std::wstring& targetPath);

// Streams the body of `request` into `file`, showing "Lade Kestrova herunter" with
// the megabytes done and expected after every block. On a read or write failure it
// closes `file`, deletes `partPath` and raises; "Abgebrochen" leaves both to the caller.
void DownloadToFile(const DownloadRequest& request, FileHandle& file, std::uint64_t totalBytes,
                    const std::wstring& partPath);

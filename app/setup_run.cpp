#include "app/setup_run.h"

#include "app/constants.h"
#include "app/failure_messages.h"
#include "cache/cache_location.h"
#include "cache/cache_refresh.h"
#include "cache/installer_verification.h"
#include "manifest/manifest_policy.h"
#include "manifest/manifest_reader.h"
#include "net/response_body.h"
#include "ui/end_box.h"
#include "ui/status_window.h"

#include <stdexcept>

void SetupRun(HINSTANCE instance) {
    if (!CreateStatusWindow(instance)) {
        throw std::runtime_error(WindowNotCreatedMessage);
    }
    ShowStatus(L"Bereite Kestrova vor", L"Manifest wird geladen ...", 2);

    InstallerManifest manifest;
    ShowStatus(L"Lade Installationsmanifest", ConnectingDetail, 5);
    {
        // Without the host's answer the run stops here, even with a good cached copy.
        const std::string manifestText = ReadResponseBody(OpenHttpsGet(ManifestUrl));
        manifest = ReadManifest(manifestText);
        CheckManifest(manifest);
    }

    // Nothing is written before the manifest has passed the policy.
    const std::wstring cacheDirectory = ResolveCacheDirectory();
    EnsureDirectoryPath(cacheDirectory);
    const std::wstring targetPath = cacheDirectory + L"\\" + manifest.fileName;

    StartVerifiedInstaller(manifest, targetPath, ShellExecuteOpen);
    ShowEndBox(L"Der Kestrova Hauptinstaller wurde gestartet.", MB_ICONINFORMATION);
}

void StartVerifiedInstaller(const InstallerManifest& manifest, const std::wstring& targetPath,
                            ShellOpenFunction shellOpen) {
    // Held open from the hashing to the shell call: whatever the shell starts, elevated or
    // not, is the file that was verified, not one swapped in by another process meanwhile.
    FileHandle verified = VerifyInstaller(targetPath, manifest);
    if (verified) {
        ShowStatus(L"Installer bereits vorhanden", L"Cache wurde erfolgreich verifiziert.", 96);
    } else {
        verified = RefreshCachedInstaller(manifest, targetPath);
    }
    LaunchInstaller(targetPath, shellOpen);
}

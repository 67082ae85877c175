#include "app/setup_run.h"

#include "app/constants.h"
#include "app/installer_launch.h"
#include "cache/cache_location.h"
#include "cache/cache_refresh.h"
#include "cache/installer_verification.h"
#include "manifest/manifest_policy.h"
#include "manifest/manifest_reader.h"
#include "net/response_body.h"
#include "ui/status_window.h"

#include <stdexcept>

void SetupRun(HINSTANCE instance) {
    if (!CreateStatusWindow(instance)) {
        throw std::runtime_error("Setup-Fenster konnte nicht erstellt werden");
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

    if (VerifyInstaller(targetPath, manifest)) {
        ShowStatus(L"Installer bereits vorhanden", L"Cache wurde erfolgreich verifiziert.", 96);
    } else {
        RefreshCachedInstaller(manifest, targetPath);
    }

    LaunchInstaller(targetPath);
    MessageBoxW(mainWindow, L"Der Kestrova Hauptinstaller wurde gestartet.", BoxTitle,
                MB_ICONINFORMATION | MB_OK);
}

#include "app/setup_run.h"

#include "app/constants.h"
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
        const std::string manifestText = ReadResponseBody(OpenHttpsGet(ManifestUrl));
        manifest = ReadManifest(manifestText);
        CheckManifest(manifest);
    }
}

#include "app/constants.h"
#include "app/setup_run.h"
#include "app/utf8.h"
#include "ui/status_window.h"

#include <windows.h>

#include <exception>
#include <string>

// The one place where failures are caught: every failure of the run, the user's
// cancellation included, ends in one error box. The exit status is 0 either way.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    try {
        SetupRun(instance);
    } catch (const std::exception& failure) {
        std::wstring message = Utf8ToWide(failure.what());
        if (message.empty()) message = L"Unbekannter Fehler";
        // After a cancellation the window is gone: a destroyed owner would leave the
        // box without a parent to return to, so it gets none.
        HWND owner = IsWindow(mainWindow) ? mainWindow : nullptr;
        MessageBoxW(owner, message.c_str(), BoxTitle, MB_ICONERROR | MB_OK);
    }
    return 0;
}

#include "app/installer_launch.h"

#include "app/failure_messages.h"
#include "ui/status_window.h"

#include <shellapi.h>

#include <stdexcept>

INT_PTR ShellExecuteOpen(HWND owner, const wchar_t* verb, const wchar_t* file) {
    return reinterpret_cast<INT_PTR>(ShellExecuteW(owner, verb, file, nullptr, nullptr, SW_SHOWNORMAL));
}

void OpenWithShell(const std::wstring& targetPath, ShellOpenFunction shellOpen) {
    if (shellOpen(mainWindow, L"open", targetPath.c_str()) > 32) return;
    // Which refusal it was does not matter: elevation is tried once, then no more.
    if (shellOpen(mainWindow, L"runas", targetPath.c_str()) > 32) return;
    throw std::runtime_error(LaunchRefusedMessage);
}

void LaunchInstaller(const std::wstring& targetPath, ShellOpenFunction shellOpen) {
    ShowStatus(L"Starte Hauptinstaller", L"Windows oeffnet jetzt den geprueften Kestrova Installer.", 100);
    OpenWithShell(targetPath, shellOpen);
}

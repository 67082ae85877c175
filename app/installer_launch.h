#pragma once

#include <windows.h>

#include <string>

// One shell call: hands `file` to the shell with `verb`; a result above 32 is success.
using ShellOpenFunction = INT_PTR (*)(HWND owner, const wchar_t* verb, const wchar_t* file);

// The real shell call: ShellExecuteW with no parameters, no directory and SW_SHOWNORMAL.
INT_PTR ShellExecuteOpen(HWND owner, const wchar_t* verb, const wchar_t* file);

// Shows "Starte Hauptinstaller" at 100, then hands the verified installer to the
// shell with "open" and, only when that is refused, once with "runas". Raises
// "Hauptinstaller konnte nicht gestartet werden" when both are refused, or
// "Abgebrochen" before any shell call when the window has been closed.
void LaunchInstaller(const std::wstring& targetPath, ShellOpenFunction shellOpen = ShellExecuteOpen);

// The verb decision of LaunchInstaller, with the shell call passed in.
void OpenWithShell(const std::wstring& targetPath, ShellOpenFunction shellOpen);

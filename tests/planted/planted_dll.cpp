// A look-alike of a system DLL, as a web page could drop it into a Downloads folder.
// When loaded it leaves a mark: an empty file <PLANTED_NAME>.loaded in the folder
// named by KESTROVA_PLANTED_MARKS. It exports nothing the real DLL would.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t mark[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"KESTROVA_PLANTED_MARKS", mark, MAX_PATH - 40);
    if (length == 0 || length >= MAX_PATH - 40) return TRUE;
    lstrcatW(mark, L"\\" PLANTED_NAME L".loaded");
    const HANDLE file = CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}

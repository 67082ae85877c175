// Holds a file open the way another program can: read access, no sharing at all, so
// every other open of it fails with a sharing violation until this one lets go.
//
//   hold_file.exe <file> <ready file> <release file> <timeout ms>
//
// Writes <ready file> once it holds <file>, then waits until <release file> exists or
// the time is up. Exit status 0 when released, 1 on timeout, 2 when it could not open
// <file> or write <ready file>, 3 on bad arguments. Under Wine the share mode binds
// only Wine processes, which is why this is a Windows program.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) return 3;
    const wchar_t* const heldPath = argv[1];
    const wchar_t* const readyPath = argv[2];
    const wchar_t* const releasePath = argv[3];
    const unsigned long timeoutMs = std::wcstoul(argv[4], nullptr, 10);

    const HANDLE held = CreateFileW(heldPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 2;
    const HANDLE ready = CreateFileW(readyPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) {
        CloseHandle(held);
        return 2;
    }
    CloseHandle(ready);

    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    int status = 1;
    while (GetTickCount64() < deadline) {
        if (GetFileAttributesW(releasePath) != INVALID_FILE_ATTRIBUTES) {
            status = 0;
            break;
        }
        Sleep(20);
    }
    CloseHandle(held);
    return status;
}

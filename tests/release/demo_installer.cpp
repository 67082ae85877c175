// The demo Kestrova installer of the reference release. It installs nothing: it
// leaves a mark that it ran (the file named by KESTROVA_DEMO_MARK, else
// %TEMP%\kestrova-demo-installer.txt, holding its own path) and shows a small window
// saying what it is, which closes itself after five seconds.
#include <windows.h>

namespace {

constexpr UINT_PTR CloseTimer = 1;

LRESULT CALLBACK DemoWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void LeaveMark() {
    wchar_t markPath[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"KESTROVA_DEMO_MARK", markPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        length = GetTempPathW(MAX_PATH - 32, markPath);
        if (length == 0 || length >= MAX_PATH - 32) return;
        lstrcatW(markPath, L"kestrova-demo-installer.txt");
    }
    wchar_t ownPath[MAX_PATH] = {};
    const DWORD ownLength = GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    char text[4 * MAX_PATH] = {};
    const int textLength = WideCharToMultiByte(CP_UTF8, 0, ownPath, static_cast<int>(ownLength), text,
                                               sizeof(text), nullptr, nullptr);
    const HANDLE file = CreateFileW(markPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(textLength), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    LeaveMark();

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DemoWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"KestrovaDemoInstaller";
    RegisterClassW(&windowClass);

    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Kestrova 3.2.0 Installer",
                                        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, 40, 480, 460, 140,
                                        nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    const HWND label = CreateWindowExW(0, L"STATIC",
                                       L"Kestrova Installer (Demo)\n\nDies ist der Installer der Referenz-Version "
                                       L"3.2.0. Er installiert nichts und schliesst sich gleich selbst.",
                                       WS_CHILD | WS_VISIBLE, 16, 14, 420, 80, window, nullptr, instance, nullptr);
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    ShowWindow(window, SW_SHOW);
    SetTimer(window, CloseTimer, 5000, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

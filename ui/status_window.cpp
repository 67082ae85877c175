#include <windows.h>
#include <commctrl.h>
// commctrl.h maps this name to its status-bar function; ours is the setup window.
#undef CreateStatusWindow

#include "ui/status_window.h"

#include "app/constants.h"
#include "app/failure_messages.h"

#include <stdexcept>

HWND mainWindow = nullptr;
HWND titleLabel = nullptr;
HWND detailLabel = nullptr;
HWND progressBar = nullptr;
bool cancelRequested = false;

namespace {

constexpr wchar_t WindowClassName[] = L"KestrovaSetupWindow";
constexpr DWORD MainWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD LabelStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD ProgressStyle = WS_CHILD | WS_VISIBLE | PBS_SMOOTH;

constexpr wchar_t InitialTitle[] = L"Bereite Kestrova vor";
constexpr wchar_t InitialDetail[] = L"Bitte warten ...";

// What the three controls show, as last written.
std::wstring shownTitle;
std::wstring shownDetail;
int shownPosition = 0;

LRESULT CALLBACK StatusWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE:
        cancelRequested = true;
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND CreateChild(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                 int width, int height, HINSTANCE instance) {
    return CreateWindowExW(0, className, text, style, x, y, width, height, mainWindow, nullptr,
                           instance, nullptr);
}

}  // namespace

HWND CreateStatusWindow(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = StatusWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = WindowClassName;
    // A failed registration shows up as a failed window creation below.
    RegisterClassW(&windowClass);

    mainWindow = CreateWindowExW(0, WindowClassName, BoxTitle, MainWindowStyle, CW_USEDEFAULT,
                                 CW_USEDEFAULT, 520, 180, nullptr, nullptr, instance, nullptr);
    if (!mainWindow) return nullptr;

    HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT);
    // A control that cannot be created is simply never updated.
    titleLabel = CreateChild(L"STATIC", InitialTitle, LabelStyle, 22, 22, 460, 22, instance);
    detailLabel = CreateChild(L"STATIC", InitialDetail, LabelStyle, 22, 50, 460, 20, instance);
    progressBar = CreateChild(PROGRESS_CLASSW, L"", ProgressStyle, 22, 86, 460, 22, instance);

    SendMessageW(progressBar, PBM_SETRANGE32, 0, 100);
    SendMessageW(progressBar, PBM_SETPOS, 0, 0);
    shownTitle = InitialTitle;
    shownDetail = InitialDetail;
    shownPosition = 0;
    SendMessageW(titleLabel, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SendMessageW(detailLabel, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);

    ShowWindow(mainWindow, SW_SHOW);
    UpdateWindow(mainWindow);
    return mainWindow;
}

void ShowStatus(const wchar_t* title, const std::wstring& detail, int percent) {
    // A download repeats the same texts and position for most of its blocks: rewriting
    // them would cost a repaint each time while the window shows nothing new.
    if (titleLabel && shownTitle != title) {
        SetWindowTextW(titleLabel, title);
        shownTitle = title;
    }
    if (!detail.empty() && detailLabel && shownDetail != detail) {
        SetWindowTextW(detailLabel, detail.c_str());
        shownDetail = detail;
    }
    if (percent >= 0 && progressBar && shownPosition != percent) {
        SendMessageW(progressBar, PBM_SETPOS, percent, 0);
        shownPosition = percent;
    }
    PumpMessages();
}

bool DispatchQueuedMessages() {
    bool quitSeen = false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) quitSeen = true;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return quitSeen;
}

void PumpMessages() {
    if (DispatchQueuedMessages()) cancelRequested = true;
    if (cancelRequested) throw std::runtime_error(CancelledMessage);
}

// The hook DLL of ui_probe. ui_probe installs its two procedures as global hooks, so the
// system loads this DLL into every GUI process of the desktop while the probe runs. It
// stays passive everywhere except in the process that creates a KestrovaSetupWindow.
//
// There it notes every change to the three status controls and reports the complete
// (title, detail, position) when the setup thread next retrieves a message: that is
// where the window gets to repaint, so "set title, set detail, set position, pump"
// becomes one state, however short. To be sure a pump retrieves something, the first
// change after a report posts a marker message to the thread; the hook swallows it.
// The initial state is reported when the window is first shown.
//
// A message box of the setup is reported once it is shown and painted: a timer started
// when it becomes visible fires only after every pending WM_PAINT has been handled.

#include "probe_protocol.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr UINT_PTR BoxTimerId = 0x4B50;

// All of this is only ever set in the setup process.
HWND setupWindow = nullptr;
DWORD setupThread = 0;
UINT markerMessage = 0;
bool changed = false;       // a status control changed since the last state report
bool markerQueued = false;  // a marker waits in the setup thread's queue
std::vector<HWND> boxesAwaitingPaint;

bool HasClass(HWND window, const wchar_t* name) {
    wchar_t buffer[64];
    return GetClassNameW(window, buffer, 64) > 0 && lstrcmpiW(buffer, name) == 0;
}

// Reads the stored text without sending WM_GETTEXT.
std::wstring TextOf(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(InternalGetWindowText(window, text.data(), length + 1)));
    return text;
}

// Hands one report to the probe and waits until it has been taken.
void Send(probe::Report kind, HWND window, std::int32_t value,
          std::initializer_list<const std::wstring*> strings) {
    HWND sink = FindWindowExW(HWND_MESSAGE, nullptr, probe::SinkClassName, nullptr);
    if (!sink) return;
    probe::ReportHeader header{GetCurrentProcessId(), value,
                               static_cast<std::uint64_t>(reinterpret_cast<UINT_PTR>(window))};
    std::vector<BYTE> data(sizeof(header));
    std::memcpy(data.data(), &header, sizeof(header));
    for (const std::wstring* text : strings) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(text->c_str());
        data.insert(data.end(), bytes, bytes + (text->size() + 1) * sizeof(wchar_t));
    }
    COPYDATASTRUCT copy{kind, static_cast<DWORD>(data.size()), data.data()};
    DWORD_PTR result = 0;
    // SMTO_BLOCK: nothing else runs on the setup thread until the probe has the report.
    SendMessageTimeoutW(sink, WM_COPYDATA, reinterpret_cast<WPARAM>(window),
                        reinterpret_cast<LPARAM>(&copy), SMTO_BLOCK, 5000, &result);
}

void SendStateIfChanged() {
    if (!changed || !setupWindow) return;
    // The two labels, told apart by their vertical position, and the bar.
    HWND labels[2]{};
    LONG tops[2]{};
    int labelCount = 0;
    HWND bar = nullptr;
    for (HWND child = GetWindow(setupWindow, GW_CHILD); child;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (HasClass(child, PROGRESS_CLASSW)) {
            bar = child;
        } else if (labelCount < 2 && HasClass(child, L"Static")) {
            RECT rect{};
            GetWindowRect(child, &rect);
            labels[labelCount] = child;
            tops[labelCount++] = rect.top;
        }
    }
    if (labelCount < 2 || !bar) return;  // not complete yet: stays pending
    if (tops[1] < tops[0]) std::swap(labels[0], labels[1]);

    changed = false;
    const std::wstring caption = TextOf(setupWindow);
    const std::wstring title = TextOf(labels[0]);
    const std::wstring detail = TextOf(labels[1]);
    const auto position = static_cast<std::int32_t>(SendMessageW(bar, PBM_GETPOS, 0, 0));
    Send(probe::ReportState, setupWindow, position, {&caption, &title, &detail});
}

void NoteChange() {
    changed = true;
    if (!markerQueued) markerQueued = PostThreadMessageW(setupThread, markerMessage, 0, 0);
}

bool IsStatusControl(HWND window) {
    return setupWindow && GetAncestor(window, GA_PARENT) == setupWindow;
}

bool IsSetupBox(HWND window) {
    return !(GetWindowLongW(window, GWL_STYLE) & WS_CHILD) && HasClass(window, L"#32770") &&
           TextOf(window) == probe::BoxCaption;
}

// Message boxes show the shared system icon that matches their MB_ICON* flag.
probe::BoxKind BoxKindOf(HWND box) {
    const HICON error = LoadIconW(nullptr, IDI_ERROR);
    const HICON information = LoadIconW(nullptr, IDI_INFORMATION);
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!HasClass(child, L"Static") ||
            (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
            continue;
        const auto icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        if (icon && icon == error) return probe::BoxError;
        if (icon && icon == information) return probe::BoxInformation;
    }
    return probe::BoxOther;
}

void SendBox(HWND box) {
    HWND textControl = GetDlgItem(box, 0xFFFF);
    const std::wstring text = textControl ? TextOf(textControl) : std::wstring();
    Send(probe::ReportBox, box, BoxKindOf(box), {&text});
}

void OnMessageHandled(const CWPRETSTRUCT& message) {
    switch (message.message) {
    case WM_CREATE:
        if (!setupThread && message.lResult != -1 &&
            HasClass(message.hwnd, probe::SetupClassName) &&
            !(GetWindowLongW(message.hwnd, GWL_STYLE) & WS_CHILD)) {
            setupWindow = message.hwnd;
            setupThread = GetCurrentThreadId();
            markerMessage = RegisterWindowMessageW(L"KestrovaUiProbeMarker");
        } else if (IsStatusControl(message.hwnd)) {
            NoteChange();
        }
        break;
    case WM_SETTEXT:
    case PBM_SETPOS:
    case PBM_DELTAPOS:
    case PBM_STEPIT:
    case PBM_SETRANGE:
    case PBM_SETRANGE32:
        if (IsStatusControl(message.hwnd)) NoteChange();
        break;
    case WM_SHOWWINDOW:
        if (!setupThread || !message.wParam) break;
        if (message.hwnd == setupWindow) {
            SendStateIfChanged();
        } else if (IsSetupBox(message.hwnd)) {
            SendStateIfChanged();  // what the window showed when the box came up
            if (SetTimer(message.hwnd, BoxTimerId, USER_TIMER_MINIMUM, nullptr))
                boxesAwaitingPaint.push_back(message.hwnd);
            else
                SendBox(message.hwnd);
        }
        break;
    case WM_DESTROY:
        if (message.hwnd == setupWindow) {
            SendStateIfChanged();
            setupWindow = nullptr;  // the process stays marked by setupThread
        }
        break;
    default: break;
    }
}

void OnMessageRetrieved(MSG& message, bool removed) {
    if (GetCurrentThreadId() == setupThread) SendStateIfChanged();
    if (!removed) return;
    if (message.message == markerMessage && !message.hwnd) {
        markerQueued = false;
        message.message = WM_NULL;
        return;
    }
    if (message.message == WM_TIMER && message.wParam == BoxTimerId) {
        auto box = std::find(boxesAwaitingPaint.begin(), boxesAwaitingPaint.end(), message.hwnd);
        if (box == boxesAwaitingPaint.end()) return;
        boxesAwaitingPaint.erase(box);
        KillTimer(message.hwnd, BoxTimerId);
        message.message = WM_NULL;
        SendBox(message.hwnd);
    }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    ProbeCallWndRetProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) OnMessageHandled(*reinterpret_cast<const CWPRETSTRUCT*>(lParam));
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK
    ProbeGetMsgProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && setupThread)
        OnMessageRetrieved(*reinterpret_cast<MSG*>(lParam), wParam == PM_REMOVE);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

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
// Only a state that differs from the last one reported is sent. A write that leaves a
// control as it was (the same title again, the same position again) is recognised on
// the spot, from the control's stored text without sending it a message, and costs
// neither a marker nor a report: the setup rewrites its status once per downloaded
// block, and a cross-process report per block would slow it down several times.
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
bool changed = false;       // the controls may show something else than `reported`
bool markerQueued = false;  // a marker waits in the setup thread's queue
std::vector<HWND> boxesAwaitingPaint;

// What the status controls showed, and which controls they were.
struct ShownState {
    HWND title = nullptr;
    HWND detail = nullptr;
    HWND bar = nullptr;
    std::wstring titleText;
    std::wstring detailText;
    std::int32_t position = 0;
};
bool haveReported = false;
ShownState reported;  // the last state sent to the probe

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

// Whether the stored text of `window` is `expected`; sends no message at all.
bool ShowsText(HWND window, const std::wstring& expected) {
    // Room for one character more, so that a longer text reads as a longer length.
    std::wstring text(expected.size() + 2, L'\0');
    const int length = InternalGetWindowText(window, text.data(), static_cast<int>(text.size()));
    return static_cast<size_t>(length) == expected.size() &&
           text.compare(0, expected.size(), expected) == 0;
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

// Reads what the window shows now; false while its three controls are not all there.
bool ReadState(ShownState& state) {
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
    if (labelCount < 2 || !bar) return false;
    if (tops[1] < tops[0]) std::swap(labels[0], labels[1]);

    state.title = labels[0];
    state.detail = labels[1];
    state.bar = bar;
    state.titleText = TextOf(labels[0]);
    state.detailText = TextOf(labels[1]);
    state.position = static_cast<std::int32_t>(SendMessageW(bar, PBM_GETPOS, 0, 0));
    return true;
}

void SendStateIfChanged() {
    if (!changed || !setupWindow) return;
    ShownState state;
    if (!ReadState(state)) return;  // not complete yet: stays pending
    changed = false;
    if (haveReported && state.titleText == reported.titleText &&
        state.detailText == reported.detailText && state.position == reported.position)
        return;  // changed and changed back before this pump
    reported = std::move(state);
    haveReported = true;
    const std::wstring caption = TextOf(setupWindow);
    Send(probe::ReportState, setupWindow, reported.position,
         {&caption, &reported.titleText, &reported.detailText});
}

// Whether the control that has just handled `message` still shows what was last
// reported. Whatever this cannot tell counts as a change.
bool LeftAsReported(const CWPRETSTRUCT& message) {
    if (!haveReported) return false;
    if (message.message == WM_SETTEXT) {
        if (message.hwnd == reported.title) return ShowsText(message.hwnd, reported.titleText);
        if (message.hwnd == reported.detail) return ShowsText(message.hwnd, reported.detailText);
    } else if (message.message == PBM_SETPOS && message.hwnd == reported.bar) {
        // A position outside the range, which the bar clamps, counts as a change; the
        // report then finds the same state and sends nothing.
        return static_cast<std::int32_t>(message.wParam) == reported.position;
    }
    return false;
}

void NoteChange(const CWPRETSTRUCT& message) {
    // Once something changed, every later write counts until the next report: a write
    // that leaves its own control as reported says nothing about the other two.
    if (!changed && LeftAsReported(message)) return;
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
            NoteChange(message);
        }
        break;
    case WM_SETTEXT:
    case PBM_SETPOS:
    case PBM_DELTAPOS:
    case PBM_STEPIT:
    case PBM_SETRANGE:
    case PBM_SETRANGE32:
        if (IsStatusControl(message.hwnd)) NoteChange(message);
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

// The hook DLL of ui_probe. ui_probe installs its procedure as a global CBT hook, so the
// system loads this DLL into every GUI process of the desktop while the probe runs and
// calls it whenever a window is created. It stays passive everywhere except in the
// process that creates a KestrovaSetupWindow.
//
// There it subclasses the setup window, its three status controls and its message
// boxes as they are created, and so sees their messages without a hook on every
// message of the process: under Wine each hooked message costs two round trips to the
// wineserver, which at three status messages per downloaded block add seconds to a
// download. The module pins itself once it has subclassed a window, so it stays
// loaded for as long as those windows live, even after the probe has gone.
//
// It notes every change to the three status controls and reports the complete
// (title, detail, position) when the setup thread next handles a message of its queue:
// that is where the window gets to repaint, so "set title, set detail, set position,
// pump" becomes one state, however short. To be sure a pump has something to handle,
// the first change after a report posts a marker message to the setup window, which
// the subclass swallows. The initial state is reported when the window is first shown.
//
// Only a state that differs from the last one reported is sent. A write that leaves a
// control as it was (the same title again, the same position again) is recognised on
// the spot, from the control's stored text without sending it a message, and costs
// neither a marker nor a report.
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

// The windows subclassed here, with the window procedures they had.
struct Subclassed {
    HWND window;
    WNDPROC original;
};
std::vector<Subclassed> subclassed;

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

// Whether `control`, having just handled `message`, still shows what was last
// reported. Whatever this cannot tell counts as a change.
bool LeftAsReported(HWND control, UINT message, WPARAM wParam) {
    if (!haveReported) return false;
    if (message == WM_SETTEXT) {
        if (control == reported.title) return ShowsText(control, reported.titleText);
        if (control == reported.detail) return ShowsText(control, reported.detailText);
    } else if (message == PBM_SETPOS && control == reported.bar) {
        // A position outside the range, which the bar clamps, counts as a change; the
        // report then finds the same state and sends nothing.
        return static_cast<std::int32_t>(wParam) == reported.position;
    }
    return false;
}

void NoteChange(HWND control, UINT message, WPARAM wParam) {
    // Once something changed, every later write counts until the next report: a write
    // that leaves its own control as reported says nothing about the other two.
    if (!changed && LeftAsReported(control, message, wParam)) return;
    changed = true;
    if (!markerQueued && setupWindow)
        markerQueued = PostMessageW(setupWindow, markerMessage, 0, 0);
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

// After a subclassed window has handled `message`.
void OnMessageHandled(HWND window, UINT message, WPARAM wParam, LRESULT result) {
    switch (message) {
    case WM_CREATE:
        if (!setupThread && result != -1 && HasClass(window, probe::SetupClassName)) {
            setupWindow = window;
            setupThread = GetCurrentThreadId();
            markerMessage = RegisterWindowMessageW(L"KestrovaUiProbeMarker");
        } else if (IsStatusControl(window)) {
            NoteChange(window, message, wParam);
        }
        break;
    case WM_SETTEXT:
    case PBM_SETPOS:
    case PBM_DELTAPOS:
    case PBM_STEPIT:
    case PBM_SETRANGE:
    case PBM_SETRANGE32:
        if (IsStatusControl(window)) NoteChange(window, message, wParam);
        break;
    case WM_SHOWWINDOW:
        if (!setupThread || !wParam) break;
        if (window == setupWindow) {
            SendStateIfChanged();
        } else if (IsSetupBox(window)) {
            SendStateIfChanged();  // what the window showed when the box came up
            if (SetTimer(window, BoxTimerId, USER_TIMER_MINIMUM, nullptr))
                boxesAwaitingPaint.push_back(window);
            else
                SendBox(window);
        }
        break;
    case WM_DESTROY:
        if (window == setupWindow) {
            SendStateIfChanged();
            setupWindow = nullptr;  // the process stays marked by setupThread
        }
        break;
    default: break;
    }
}

// The marker and the box timer are this DLL's own messages: handled here, never passed on.
bool HandleOwnMessage(HWND window, UINT message, WPARAM wParam) {
    if (setupThread && message == markerMessage) {
        markerQueued = false;
        SendStateIfChanged();
        return true;
    }
    if (message == WM_TIMER && wParam == BoxTimerId) {
        auto box = std::find(boxesAwaitingPaint.begin(), boxesAwaitingPaint.end(), window);
        if (box == boxesAwaitingPaint.end()) return false;
        boxesAwaitingPaint.erase(box);
        KillTimer(window, BoxTimerId);
        SendBox(window);
        return true;
    }
    return false;
}

LRESULT CALLBACK ObserverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto entry = std::find_if(subclassed.begin(), subclassed.end(),
                              [window](const Subclassed& s) { return s.window == window; });
    if (entry == subclassed.end()) return DefWindowProcW(window, message, wParam, lParam);
    const WNDPROC original = entry->original;
    if (HandleOwnMessage(window, message, wParam)) return 0;

    const LRESULT result = CallWindowProcW(original, window, message, wParam, lParam);
    OnMessageHandled(window, message, wParam, result);
    if (message == WM_NCDESTROY) {
        subclassed.erase(std::find_if(subclassed.begin(), subclassed.end(),
                                      [window](const Subclassed& s) { return s.window == window; }));
    }
    return result;
}

void Subclass(HWND window) {
    if (subclassed.empty()) {
        // The subclassed windows call into this module: it must not be unloaded when
        // the probe removes its hook.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&ObserverProc), &self);
    }
    const auto original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ObserverProc)));
    if (original) subclassed.push_back({window, original});
}

// A window is being created (its class and procedure are set, WM_NCCREATE is yet to
// come): the setup window, and later the status controls and the setup's top-level
// dialogs (the message boxes), are subclassed.
void OnWindowCreating(HWND window, const CREATESTRUCTW& create) {
    const bool child = (create.style & WS_CHILD) != 0;
    if (!setupThread) {
        if (!child && HasClass(window, probe::SetupClassName)) Subclass(window);
    } else if (GetCurrentThreadId() == setupThread) {
        if (child ? setupWindow && create.hwndParent == setupWindow : HasClass(window, L"#32770"))
            Subclass(window);
    }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK ProbeCbtProc(int code, WPARAM wParam,
                                                               LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        const auto* creation = reinterpret_cast<const CBT_CREATEWNDW*>(lParam);
        if (creation && creation->lpcs)
            OnWindowCreating(reinterpret_cast<HWND>(wParam), *creation->lpcs);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

#pragma once
// What the hook DLL (inside the setup process) and ui_probe (outside) agree on.
//
// The hook sends each report synchronously as WM_COPYDATA to the probe's message-only
// sink window: a ReportHeader followed by NUL-terminated UTF-16 strings. Because the
// setup thread waits for the probe to take each report, reports arrive complete and in
// the order the setup produced them.

#include <windows.h>

#include <cstdint>

namespace probe {

inline constexpr wchar_t SinkClassName[] = L"KestrovaUiProbeSink";
inline constexpr wchar_t SetupClassName[] = L"KestrovaSetupWindow";
inline constexpr wchar_t BoxCaption[] = L"Kestrova Setup";

// The exported CBT hook procedure of ui_probe_hook.dll.
inline constexpr char CbtProcName[] = "ProbeCbtProc";

// COPYDATASTRUCT::dwData.
enum Report : ULONG_PTR {
    // Strings: window caption, title label, detail label. `value` is the bar position.
    ReportState = 1,
    // Strings: box text. `value` is a BoxKind.
    ReportBox = 2,
};

enum BoxKind : std::int32_t { BoxOther = 0, BoxError = 1, BoxInformation = 2 };

struct ReportHeader {
    std::uint32_t processId;
    std::int32_t value;
    std::uint64_t window;  // the setup window (state) or the message box (box)
};

}  // namespace probe

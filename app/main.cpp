#include "app/failure_box.h"
#include "app/setup_run.h"
#include "app/utf8.h"

#include <windows.h>

#include <exception>
#include <initializer_list>

// The one place where failures are caught: every failure of the run, the user's
// cancellation included, ends in one error box. The exit status is 0 either way.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Before anything else: every later DLL load, the delay-loaded WinHTTP, CNG and
    // common controls included, searches System32 only, never the folder the program
    // was started from (typically Downloads, where a look-alike DLL can be planted).
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Load them now, from System32 by name: a system DLL that later needs one of them
    // then finds it in the process instead of searching again. Wine, for one, resolves
    // the delay-loaded imports of its own DLLs (WinHTTP pulling in crypt32 and with it
    // bcrypt) without the default directories, so the program's folder would be
    // searched first there.
    for (const wchar_t* dll : {KESTROVA_DELAY_LOADED_DLLS}) {
        LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    try {
        SetupRun(instance);
    } catch (const std::exception& failure) {
        ShowFailureBox(failure.what(), Utf8ToWide);
    }
    return 0;
}

// The box that ends a run must come up whatever the queue holds, and the failure box must
// come up even when its text cannot be built. A watcher thread finds the box, notes what
// it shows and presses OK; a box that returned unseen leaves the watcher empty-handed.
#include "app/failure_box.h"
#include "app/utf8.h"
#include "ui/end_box.h"
#include "ui/status_window.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>

namespace {

struct SeenBox {
    bool shown = false;
    std::wstring text;
    HWND owner = nullptr;
};

// Waits up to 5 s for this process's box "Kestrova Setup", then presses its OK button.
SeenBox WatchForBox() {
    SeenBox seen;
    for (int attempt = 0; attempt < 500 && !seen.shown; ++attempt) {
        HWND box = FindWindowW(L"#32770", L"Kestrova Setup");
        DWORD process = 0;
        if (box && GetWindowThreadProcessId(box, &process) && process == GetCurrentProcessId() &&
            IsWindowVisible(box)) {
            wchar_t text[256] = {};
            GetDlgItemTextW(box, 0xFFFF, text, 256);
            seen = SeenBox{true, text, GetWindow(box, GW_OWNER)};
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        } else {
            Sleep(10);
        }
    }
    return seen;
}

template <typename ShowBox>
SeenBox ShowWatched(ShowBox showBox) {
    SeenBox seen;
    std::thread watcher([&seen] { seen = WatchForBox(); });
    showBox();
    watcher.join();
    return seen;
}

std::wstring ConversionOutOfMemory(const std::string&) { throw std::bad_alloc(); }

// A window that existed once: its handle is stale, as after the user closed the window.
HWND DestroyedWindow() {
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(window);
    return window;
}

}  // namespace

TEST(EndBox, ComesUpDespiteAPendingQuitAndOwnsNoDestroyedWindow) {
    mainWindow = DestroyedWindow();

    PostQuitMessage(0);
    SeenBox information = ShowWatched([] {
        ShowEndBox(L"Der Kestrova Hauptinstaller wurde gestartet.", MB_ICONINFORMATION);
    });
    EXPECT_TRUE(information.shown);
    EXPECT_EQ(information.text, L"Der Kestrova Hauptinstaller wurde gestartet.");
    EXPECT_EQ(information.owner, nullptr);

    PostQuitMessage(0);
    SeenBox error = ShowWatched([] { ShowFailureBox("Abgebrochen", Utf8ToWide); });
    EXPECT_TRUE(error.shown);
    EXPECT_EQ(error.text, L"Abgebrochen");
    EXPECT_FALSE(cancelRequested) << "taking the WM_QUIT off must not raise or cancel";
}

TEST(FailureBox, FallsBackToAFixedTextWhenTheMessageCannotBeBuilt) {
    SeenBox unbuildable = ShowWatched([] { ShowFailureBox("Abgebrochen", ConversionOutOfMemory); });
    EXPECT_TRUE(unbuildable.shown);
    EXPECT_EQ(unbuildable.text, L"Unbekannter Fehler");

    SeenBox empty = ShowWatched([] { ShowFailureBox("", Utf8ToWide); });
    EXPECT_EQ(empty.text, L"Unbekannter Fehler");
}

#include "ui/end_box.h"

#include "app/constants.h"
#include "ui/status_window.h"

void ShowEndBox(const wchar_t* text, UINT icon) {
    DispatchQueuedMessages();
    // A destroyed window's handle is no owner (it may even name another window by now).
    HWND owner = IsWindow(mainWindow) ? mainWindow : nullptr;
    MessageBoxW(owner, text, BoxTitle, icon | MB_OK);
}

#pragma once
// The progress window: one fixed-size window with a stage title, a detail line and a
// progress bar (0 to 100), kept alive by a non-blocking message pump. Closing the
// window turns into the failure "Abgebrochen" at the next pump.

#include <windows.h>

#include <string>

// Process-wide window state. The handles are set once by CreateStatusWindow and keep
// their values even after the window has been destroyed.
extern HWND mainWindow;
extern HWND titleLabel;
extern HWND detailLabel;
extern HWND progressBar;
// Set by closing the window or by a WM_QUIT; never reset.
extern bool cancelRequested;

// Registers the window class, creates and shows the window with its three controls.
// Returns the main window, or null when it could not be created.
HWND CreateStatusWindow(HINSTANCE instance);

// Shows the title, the detail unless it is empty, and the bar position unless percent is
// negative; each is written to its control only when it differs from what the control
// shows, so a loop that repeats a status costs no window work. Then pumps. Raises
// "Abgebrochen" once the window has been closed.
void ShowStatus(const wchar_t* title, const std::wstring& detail, int percent);

// Drains the thread's message queue without waiting. Raises "Abgebrochen" after the
// queue is empty when cancellation has been requested.
void PumpMessages();

// Handles every queued message without waiting, taking a WM_QUIT off the queue. Returns
// whether a WM_QUIT was among them; raises nothing.
bool DispatchQueuedMessages();

#pragma once
// The message box that ends every run: the information box after the launch, the error
// box with the failure's message otherwise.

#include <windows.h>

// Shows `text` in a modal box "Kestrova Setup" with `icon` (MB_ICONINFORMATION or
// MB_ICONERROR) and one OK button. A modal box that meets WM_QUIT returns unseen, so first
// every message still queued is handled (a close the user made while a blocking call ran
// included) and a WM_QUIT is taken off the queue, without raising. The box is owned by the
// setup window while that exists, and by no window once it is gone.
void ShowEndBox(const wchar_t* text, UINT icon);

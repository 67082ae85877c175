#pragma once

#include <windows.h>

// Runs the setup from the window to the hand-over of the verified installer, stage
// after stage on this thread. Returns after the information box; raises a
// std::exception carrying the user's German message on any failure.
void SetupRun(HINSTANCE instance);

#pragma once

#include <windows.h>

// The windowed launcher: builds the window, runs the message loop, returns the
// exit code.
int RunLauncherWindow(HINSTANCE instance, int showCommand);

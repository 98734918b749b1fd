#pragma once

#include <windows.h>

#include <string>

// The windowed launcher: registers the class, builds the window and its
// controls, starts the worker at once for an invite link, and runs the message
// loop. Returns the exit code: 0 when the window was destroyed, 2 when the
// class could not be registered, 3 when the window could not be made.
int RunLauncherWindow(HINSTANCE instance, int showCommand);

// "Installed: " and the recorded version; 0.0.0 when the recorded text
// cannot be shown.
std::wstring InstalledLabelText(const std::string& recordedVersion);

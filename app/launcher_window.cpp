#include "app/launcher_window.h"

int RunLauncherWindow(HINSTANCE, int) {
    // The window is not part of this build yet; say so rather than pretend.
    MessageBoxW(nullptr, L"This launcher build cannot open its window yet.", L"TESSIK Launcher",
                MB_OK | MB_ICONERROR);
    return 1;
}

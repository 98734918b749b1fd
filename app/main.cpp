#include <windows.h>

#include "app/entry_point.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return RunEntryPoint(instance, showCommand);
}

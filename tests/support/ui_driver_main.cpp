// The UI driver as a command, for scripts and for a person at a display:
//   ui_driver.exe launch <launcher.exe> <APPDATA folder>   start it, wait for its window
//   ui_driver.exe dump                                      list the window's controls
//   ui_driver.exe close                                     close it, wait for it to end
//   ui_driver.exe click <button text>                       press a button of its window
//   ui_driver.exe wait-window <class> <seconds>             wait for any top-level window
//   ui_driver.exe close-window <class>                      close that window
// Exit code 0 when the step did what it says.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/ui_driver.h"

using namespace std::chrono_literals;

namespace {

int Launch(const wchar_t* launcher, const wchar_t* appData) {
    SetEnvironmentVariableW(L"APPDATA", appData);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + std::wstring(launcher) + L"\"";
    if (!CreateProcessW(launcher, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        std::fprintf(stderr, "could not start the launcher\n");
        return 1;
    }
    KernelHandle process(info.hProcess);
    KernelHandle thread(info.hThread);
    if (ui::WaitForLauncherWindow(info.dwProcessId, 30s) == nullptr) {
        std::fprintf(stderr, "the launcher window did not appear\n");
        TerminateProcess(process.get(), 1);
        return 1;
    }
    Sleep(500);  // let it paint
    std::printf("%lu\n", info.dwProcessId);
    return 0;
}

int Dump() {
    const HWND window = ui::WaitForLauncherWindow(0, 5s);
    if (window == nullptr) return 1;
    for (const ui::Control& c : ui::Controls(window)) {
        std::wprintf(L"%ls\t%ls\t%ld,%ld,%ld,%ld\t0x%08lx\t%ls\n", c.className.c_str(),
                     c.text.c_str(), c.rect.left, c.rect.top, c.rect.right, c.rect.bottom,
                     static_cast<unsigned long>(c.style), c.enabled ? L"enabled" : L"disabled");
    }
    return 0;
}

int Close() {
    const HWND window = ui::WaitForLauncherWindow(0, 5s);
    if (window == nullptr) return 1;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    PostMessageW(window, WM_CLOSE, 0, 0);
    const std::optional<DWORD> code = WaitForProcessExit(processId, 20s);
    if (!code) {
        TerminateLeftover(processId);
        return 1;
    }
    return *code == 0 ? 0 : 1;
}

int Click(const wchar_t* text) {
    const HWND window = ui::WaitForLauncherWindow(0, 20s);
    if (window == nullptr) return 1;
    const std::optional<ui::Control> button = ui::FindControl(window, L"Button", text);
    if (!button) return 1;
    ui::Click(button->handle);
    return 0;
}

int WaitWindow(const wchar_t* className, const wchar_t* seconds) {
    const HWND window = ui::WaitForTopLevelWindow(className, std::chrono::seconds(_wtoi(seconds)));
    if (window == nullptr) return 1;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    Sleep(500);  // let it paint
    std::printf("%lu\n", processId);
    return 0;
}

int CloseWindow(const wchar_t* className) {
    const HWND window = ui::WaitForTopLevelWindow(className, 5s);
    if (window == nullptr) return 1;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (!WaitForProcessExit(processId, 20s)) {
        TerminateLeftover(processId);
        return 1;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"launch" && argc == 4) return Launch(argv[2], argv[3]);
    if (command == L"dump" && argc == 2) return Dump();
    if (command == L"close" && argc == 2) return Close();
    if (command == L"click" && argc == 3) return Click(argv[2]);
    if (command == L"wait-window" && argc == 4) return WaitWindow(argv[2], argv[3]);
    if (command == L"close-window" && argc == 3) return CloseWindow(argv[2]);
    std::fprintf(stderr,
                 "usage: ui_driver.exe launch <launcher.exe> <appdata> | dump | close |\n"
                 "       click <text> | wait-window <class> <seconds> | close-window <class>\n");
    return 2;
}

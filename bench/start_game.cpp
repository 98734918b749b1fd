// The least a launcher could do: start tessik.exe from the folder named by
// TESSIK_BENCH_BUILD, with no update check, and exit.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"TESSIK_BENCH_BUILD", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    const std::wstring build(folder, length);
    std::wstring program = build + L"\\tessik.exe";
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        build.c_str(), &startup, &info)) {
        return 1;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

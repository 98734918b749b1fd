// Stands in for tessik.exe in the test archives (and for other programs the
// launcher starts). Records the command line it was given and its current
// folder (UTF-8, one per line) in the file named by TESSIK_GAME_RECORD, or in
// "game-record.txt" beside itself. With TESSIK_STANDIN_SLEEP_MS it then stays
// alive that long, standing for a process that is slow to end, holding the
// file that TESSIK_STANDIN_HOLD names open all the while, as a game holds its
// assets.
#include <windows.h>

#include <fstream>
#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t folder[32768];
    const DWORD folderLength = GetCurrentDirectoryW(32768, folder);

    wchar_t target[32768];
    DWORD length = GetEnvironmentVariableW(L"TESSIK_GAME_RECORD", target, 32768);
    std::wstring record;
    if (length > 0 && length < 32768) {
        record.assign(target, length);
    } else {
        length = GetModuleFileNameW(nullptr, target, 32768);
        record.assign(target, length);
        record = record.substr(0, record.find_last_of(L'\\') + 1) + L"game-record.txt";
    }
    std::ofstream out(record.c_str(), std::ios::binary | std::ios::trunc);
    out << Utf8(GetCommandLineW()) << '\n' << Utf8(std::wstring(folder, folderLength)) << '\n';
    out.close();

    wchar_t held[32768];
    const DWORD heldLength = GetEnvironmentVariableW(L"TESSIK_STANDIN_HOLD", held, 32768);
    HANDLE asset = INVALID_HANDLE_VALUE;
    if (heldLength > 0 && heldLength < 32768) {
        asset =
            CreateFileW(held, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    wchar_t sleep[32];
    const DWORD sleepLength = GetEnvironmentVariableW(L"TESSIK_STANDIN_SLEEP_MS", sleep, 32);
    if (sleepLength > 0 && sleepLength < 32) Sleep(static_cast<DWORD>(_wtoi(sleep)));
    if (asset != INVALID_HANDLE_VALUE) CloseHandle(asset);
    return out ? 0 : 1;
}

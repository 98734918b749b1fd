// The demo's game: a window that shows its own version and the invite link it
// was given, so a person (or the demo script) can see which build started and
// what it received. It also writes both to "demo-record.txt" beside itself.
#include <windows.h>
#include <shellapi.h>

#include <fstream>
#include <string>

#ifndef DEMO_GAME_VERSION
#error "DEMO_GAME_VERSION must be set"
#endif
#define WIDEN2(x) L##x
#define WIDEN(x) WIDEN2(x)

namespace {

std::wstring invite;

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(200, 240, 210));
        const std::wstring text = L"TESSIK demo game " WIDEN(DEMO_GAME_VERSION) L"\n\nInvite: " +
                                  (invite.empty() ? std::wstring(L"(none)") : invite);
        DrawTextW(dc, text.c_str(), -1, &area, DT_CENTER | DT_VCENTER | DT_WORDBREAK);
        EndPaint(window, &paint);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words != nullptr && count > 1) invite = words[1];
    LocalFree(words);

    wchar_t self[MAX_PATH];
    std::wstring record(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    record = record.substr(0, record.find_last_of(L'\\') + 1) + L"demo-record.txt";
    std::ofstream(record.c_str(), std::ios::binary) << DEMO_GAME_VERSION << '\n'
                                                    << Utf8(invite) << '\n';

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = CreateSolidBrush(RGB(6, 20, 12));
    windowClass.lpszClassName = L"TessikDemoGame";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"TessikDemoGame", L"TESSIK demo " WIDEN(DEMO_GAME_VERSION),
                                  WS_OVERLAPPEDWINDOW, 700, 40, 480, 260, nullptr, nullptr,
                                  instance, nullptr);
    ShowWindow(window, show);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

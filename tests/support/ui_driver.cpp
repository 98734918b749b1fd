#include "tests/support/ui_driver.h"

#include <algorithm>

#include "base/scoped_handle.h"

namespace ui {
namespace {

using Clock = std::chrono::steady_clock;

std::wstring ClassOf(HWND window) {
    wchar_t name[256];
    const int length = GetClassNameW(window, name, 256);
    return std::wstring(name, length > 0 ? length : 0);
}

struct Search {
    DWORD processId;
    const wchar_t* className;
    HWND owner;
    HWND found;
    const std::wstring* program = nullptr;
};

std::wstring ProgramOf(DWORD processId) {
    KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return {};
    wchar_t path[MAX_PATH];
    DWORD length = MAX_PATH;
    const BOOL ok = QueryFullProcessImageNameW(process.get(), 0, path, &length);
    return ok ? std::wstring(path, length) : std::wstring();
}

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if ((search->processId == 0 || owner == search->processId) &&
        ClassOf(window) == search->className && IsWindowVisible(window) &&
        (search->owner == nullptr || GetWindow(window, GW_OWNER) == search->owner) &&
        (search->program == nullptr ||
         _wcsicmp(ProgramOf(owner).c_str(), search->program->c_str()) == 0)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForTopLevel(Search search, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    do {
        search.found = nullptr;
        EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        Sleep(100);
    } while (Clock::now() < deadline);
    return nullptr;
}

}  // namespace

std::wstring TextOf(HWND window) {
    wchar_t text[1024];
    const int length = GetWindowTextW(window, text, 1024);
    return std::wstring(text, length > 0 ? length : 0);
}

HWND WaitForLauncherWindow(DWORD processId, std::chrono::milliseconds timeout) {
    return WaitForTopLevel({processId, L"TessikNativeLauncher", nullptr, nullptr}, timeout);
}

HWND WaitForTopLevelWindow(const std::wstring& className, std::chrono::milliseconds timeout) {
    return WaitForTopLevel({0, className.c_str(), nullptr, nullptr}, timeout);
}

HWND WaitForLauncherWindowOf(const std::wstring& program, std::chrono::milliseconds timeout) {
    return WaitForTopLevel({0, L"TessikNativeLauncher", nullptr, nullptr, &program}, timeout);
}

HWND VisibleWindowOf(DWORD processId) {
    struct Seen {
        DWORD processId;
        HWND found;
    } seen{processId, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Seen*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == s->processId && IsWindowVisible(window)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&seen));
    return seen.found;
}

std::vector<Control> Controls(HWND window) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    std::vector<Control> controls;
    for (HWND child : children) {
        Control control{
            child, ClassOf(child), TextOf(child), {}, 0, IsWindowEnabled(child) != FALSE};
        GetWindowRect(child, &control.rect);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&control.rect), 2);
        control.style = GetWindowLongW(child, GWL_STYLE);
        controls.push_back(control);
    }
    return controls;
}

std::optional<Control> FindControl(HWND window, const std::wstring& className,
                                   const std::wstring& text) {
    for (const Control& control : Controls(window)) {
        if (_wcsicmp(control.className.c_str(), className.c_str()) == 0 && control.text == text) {
            return control;
        }
    }
    return std::nullopt;
}

std::vector<std::wstring> ComboItems(HWND combo) {
    std::vector<std::wstring> items;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
        std::wstring item(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
        const LRESULT got =
            SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
        item.resize(got > 0 ? static_cast<size_t>(got) : 0);
        items.push_back(item);
    }
    return items;
}

int ComboSelection(HWND combo) { return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0)); }

RECT ComboDroppedRect(HWND combo) {
    RECT dropped{};
    SendMessageW(combo, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
    MapWindowPoints(nullptr, GetParent(combo), reinterpret_cast<POINT*>(&dropped), 2);
    return dropped;
}

void Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

std::optional<MessageBoxSeen> WaitForMessageBox(HWND owner, std::chrono::milliseconds timeout) {
    DWORD processId = 0;
    GetWindowThreadProcessId(owner, &processId);
    const HWND box = WaitForTopLevel({processId, L"#32770", owner, nullptr}, timeout);
    if (box == nullptr) return std::nullopt;
    constexpr int MessageTextId = 0xFFFF;  // the static control that holds a message box's text
    return MessageBoxSeen{box, TextOf(box), TextOf(GetDlgItem(box, MessageTextId))};
}

void Dismiss(const MessageBoxSeen& box) { Click(GetDlgItem(box.handle, IDOK)); }

std::wstring WaitForText(HWND control, const std::wstring& text,
                         std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::wstring now = TextOf(control);
    while (now != text && Clock::now() < deadline) {
        Sleep(50);
        now = TextOf(control);
    }
    return now;
}

}  // namespace ui

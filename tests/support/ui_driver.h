#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Drives the launcher's window from another process, as a player would:
// finds it, reads its controls, clicks buttons, answers message boxes.
namespace ui {

using namespace std::chrono_literals;

struct Control {
    HWND handle;
    std::wstring className;
    std::wstring text;
    RECT rect;  // in the parent's client coordinates
    LONG style;
    bool enabled;
};

// The visible top-level "TessikNativeLauncher" window of the process (any
// process when processId is 0), or nullptr after the time-out.
HWND WaitForLauncherWindow(DWORD processId, std::chrono::milliseconds timeout = 20s);

// Any visible top-level window of the class, in any process, or nullptr after
// the time-out.
HWND WaitForTopLevelWindow(const std::wstring& className, std::chrono::milliseconds timeout = 20s);

// The same, for a launcher started from the program file `program` by
// someone else (the hand-off copy, for example).
HWND WaitForLauncherWindowOf(const std::wstring& program, std::chrono::milliseconds timeout = 20s);

// Any visible top-level window of the process at this moment (of any class:
// the launcher's, a message box, a dialog), or nullptr.
HWND VisibleWindowOf(DWORD processId);

// The window's direct children in creation order.
std::vector<Control> Controls(HWND window);

// The first child whose class and text match.
std::optional<Control> FindControl(HWND window, const std::wstring& className,
                                   const std::wstring& text);

std::vector<std::wstring> ComboItems(HWND combo);
int ComboSelection(HWND combo);  // CB_ERR when nothing is selected
// Where the combo box's list shows when dropped down, in the parent's client
// coordinates.
RECT ComboDroppedRect(HWND combo);

// Presses a button (BM_CLICK, posted so that a modal box it opens cannot
// block the driver).
void Click(HWND button);

// The text of a message box owned by `owner` once one shows, and its title.
struct MessageBoxSeen {
    HWND handle;
    std::wstring title;
    std::wstring text;
};
std::optional<MessageBoxSeen> WaitForMessageBox(HWND owner,
                                                std::chrono::milliseconds timeout = 30s);
// Presses its OK button.
void Dismiss(const MessageBoxSeen& box);

// Waits until the control's text is `text` (or the time-out passes); returns
// the last text seen.
std::wstring WaitForText(HWND control, const std::wstring& text,
                         std::chrono::milliseconds timeout = 30s);

std::wstring TextOf(HWND window);

}  // namespace ui

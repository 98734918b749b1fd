#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

// --- What the button shows (no Windows calls) ---

enum class TaskbarState { None, Indeterminate, Normal, Error };

struct TaskbarView {
    TaskbarState state = TaskbarState::None;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    bool operator==(const TaskbarView&) const = default;
};

// What the taskbar button shows after one of the worker's messages reached
// the window: the download's share, indeterminate while the length is unknown,
// the error state when the run failed, nothing once the game starts. Nullopt
// for a message that changes nothing.
std::optional<TaskbarView> TaskbarViewAfter(UINT message, WPARAM wParam, LPARAM lParam);

// --- The button (ITaskbarList3) ---

// Lives on the window's thread, which has initialised COM as a single-threaded
// apartment. Shows nothing until Attach succeeds; any failure there only
// means no progress is shown.
class TaskbarButton {
  public:
    TaskbarButton() = default;
    ~TaskbarButton();
    TaskbarButton(const TaskbarButton&) = delete;
    TaskbarButton& operator=(const TaskbarButton&) = delete;

    // Called when the shell has made the window's button ("TaskbarButtonCreated").
    void Attach(HWND window);
    void Show(const TaskbarView& view);
    // Lets the object go while COM is still initialised.
    void Detach();

  private:
    HWND window_ = nullptr;
    TaskbarView shown_;
    struct ITaskbarList3* list_ = nullptr;  // one reference, released by the destructor
};

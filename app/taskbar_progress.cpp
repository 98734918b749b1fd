#include "app/taskbar_progress.h"

#include <shobjidl.h>

#include <algorithm>

#include "base/worker_messages.h"

std::optional<TaskbarView> TaskbarViewAfter(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_LAUNCHER_PROGRESS) {
        const auto done = static_cast<std::uint64_t>(wParam);
        const auto total = static_cast<std::uint64_t>(lParam);
        if (total == 0) {
            return TaskbarView{TaskbarState::Indeterminate, 0, 0};
        }
        return TaskbarView{TaskbarState::Normal, std::min(done, total), total};
    }
    if (message == WM_LAUNCHER_DONE) {
        return TaskbarView{wParam != 0 ? TaskbarState::None : TaskbarState::Error, 0, 0};
    }
    return std::nullopt;
}

TaskbarButton::~TaskbarButton() { Detach(); }

void TaskbarButton::Detach() {
    if (list_ != nullptr) {
        list_->Release();
        list_ = nullptr;
    }
}

void TaskbarButton::Attach(HWND window) {
    if (list_ != nullptr) {
        return;  // the shell restarted: the button is made again, the object stays good
    }
    ITaskbarList3* list = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&list)))) {
        return;
    }
    if (FAILED(list->HrInit())) {
        list->Release();
        return;
    }
    list_ = list;
    window_ = window;
}

void TaskbarButton::Show(const TaskbarView& view) {
    if (list_ == nullptr) {
        return;
    }
    switch (view.state) {
        case TaskbarState::None:
            list_->SetProgressState(window_, TBPF_NOPROGRESS);
            break;
        case TaskbarState::Indeterminate:
            list_->SetProgressState(window_, TBPF_INDETERMINATE);
            break;
        case TaskbarState::Normal:
            list_->SetProgressState(window_, TBPF_NORMAL);
            list_->SetProgressValue(window_, view.done, view.total);
            break;
        case TaskbarState::Error:
            // The error colour needs a bar to colour: the last one, or a full one.
            if (shown_.state != TaskbarState::Normal) {
                list_->SetProgressValue(window_, 1, 1);
            }
            list_->SetProgressState(window_, TBPF_ERROR);
            break;
    }
    shown_ = view;
}

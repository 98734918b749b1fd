#include "tests/support/message_collector.h"

#include <stdexcept>
#include <thread>

#include "app/update_worker.h"
#include "base/worker_messages.h"

namespace {
constexpr wchar_t ClassName[] = L"TessikTestMessageCollector";
}

MessageCollector::MessageCollector() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &MessageCollector::Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = ClassName;
    RegisterClassW(&windowClass);  // fails harmlessly when already registered
    window_ = CreateWindowExW(0, ClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) throw std::runtime_error("could not create the message window");
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    mainWindow = window_;
}

MessageCollector::~MessageCollector() {
    Collect();  // frees texts still queued
    mainWindow = nullptr;
    DestroyWindow(window_);
}

const std::vector<MessageCollector::Message>& MessageCollector::Collect() {
    MSG message;
    while (PeekMessageW(&message, window_, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
    return messages_;
}

std::vector<std::wstring> MessageCollector::Statuses() {
    std::vector<std::wstring> statuses;
    for (const Message& m : Collect()) {
        if (m.id == WM_LAUNCHER_STATUS) statuses.push_back(m.text);
    }
    return statuses;
}

LRESULT CALLBACK MessageCollector::Procedure(HWND window, UINT id, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<MessageCollector*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr ||
        (id != WM_LAUNCHER_STATUS && id != WM_LAUNCHER_DONE && id != WM_LAUNCHER_PROGRESS)) {
        return DefWindowProcW(window, id, wParam, lParam);
    }
    if (id == WM_LAUNCHER_PROGRESS) {
        self->messages_.push_back({id, wParam, false, L"", lParam});
        return 0;
    }
    Message received{id, wParam, lParam != 0, L""};
    if (lParam != 0) received.text = *TakePostedText(lParam);
    self->messages_.push_back(received);
    return 0;
}

std::vector<MessageCollector::Message> RunWorkerAndCollect(MessageCollector& collector) {
    std::thread worker(RunUpdateWorker);
    worker.join();
    return collector.Collect();
}

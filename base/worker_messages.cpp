#include "base/worker_messages.h"

namespace {

// Ownership passes with a successful post; a text that could not be posted
// (window gone, queue full) is freed here instead of leaking.
void PostText(UINT message, WPARAM wParam, const std::wstring& text) {
    auto owned = std::make_unique<std::wstring>(text);
    if (PostMessageW(mainWindow, message, wParam, reinterpret_cast<LPARAM>(owned.get()))) {
        owned.release();
    }
}

}  // namespace

void PostStatus(const std::wstring& text) { PostText(WM_LAUNCHER_STATUS, 0, text); }

void PostRunStarted() { PostMessageW(mainWindow, WM_LAUNCHER_DONE, 1, 0); }

void PostRunFailed(const std::wstring& failure) { PostText(WM_LAUNCHER_DONE, 0, failure); }

void PostProgress(std::uint64_t done, std::uint64_t total) {
    if (!TaskbarProgressShown()) {
        return;
    }
    // The window repaints the button for each one: ten a second is smooth.
    thread_local ULONGLONG lastPost = 0;
    const ULONGLONG now = GetTickCount64();
    if (done != total && lastPost != 0 && now - lastPost < 100) {
        return;
    }
    lastPost = now;
    PostMessageW(mainWindow, WM_LAUNCHER_PROGRESS, static_cast<WPARAM>(done),
                 static_cast<LPARAM>(total));
}

std::unique_ptr<std::wstring> TakePostedText(LPARAM lParam) {
    return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}

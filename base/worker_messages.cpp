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

std::unique_ptr<std::wstring> TakePostedText(LPARAM lParam) {
    return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}

#include "tests/support/launcher_run.h"

#include <functional>

#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/ui_driver.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

LauncherRunOutcome RunLauncherToTheEnd(const fs::path& launcher,
                                       const std::vector<std::wstring>& arguments,
                                       std::chrono::milliseconds bound) {
    ChildProcess process = ChildProcess::Start(launcher, arguments);
    LauncherRunOutcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    HWND window = nullptr;
    while (std::chrono::steady_clock::now() < deadline) {
        if (const std::optional<DWORD> code = process.WaitForExit(100ms)) {
            outcome.ended = true;
            outcome.exitCode = *code;
            return outcome;
        }
        if (window == nullptr) window = ui::WaitForLauncherWindow(process.Id(), 0ms);
        if (window == nullptr) continue;
        if (const std::optional<ui::MessageBoxSeen> box = ui::WaitForMessageBox(window, 0ms)) {
            outcome.errorBox = box->text;
            ui::Dismiss(*box);
            ui::WaitForText(ui::Controls(window).at(3).handle, L"Update failed", 10s);
            PostMessageW(window, WM_CLOSE, 0, 0);
            const std::optional<DWORD> code = process.WaitForExit(20s);
            outcome.ended = code.has_value();
            outcome.exitCode = code.value_or(0);
            return outcome;
        }
    }
    return outcome;  // hung: the process is ended when `process` goes
}

std::optional<DWORD> PlayWithTheRestartedLauncher(const fs::path& launcher) {
    const HWND window = ui::WaitForLauncherWindowOf(launcher, 60s);
    if (window == nullptr) return std::nullopt;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    ui::Click(ui::FindControl(window, L"Button", L"CHECK FOR UPDATES && PLAY")->handle);
    const std::optional<DWORD> code = WaitForProcessExit(process, 60s);
    TerminateLeftover(process);
    return code;
}

FolderFingerprint Fingerprint(const fs::path& folder, const std::vector<fs::path>& skip) {
    FolderFingerprint prints;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path path = it->path();
        bool skipped = false;
        for (const fs::path& s : skip) {
            const fs::path relative = path.lexically_relative(s);
            if (!relative.empty() && relative.begin()->wstring() != L"..") skipped = true;
        }
        if (skipped) {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file()) {
            const std::string bytes = ReadFileBytes(path);
            prints[path.wstring()] = {bytes.size(), std::hash<std::string>{}(bytes)};
        } else {
            prints[path.wstring()] = {0, 0};
        }
    }
    return prints;
}

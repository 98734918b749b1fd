#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The real launcher executable, started with arguments and the test's
// environment, followed to its end: it exits by itself (a game or a new
// launcher was started) or shows an error box, which is read, dismissed and
// followed by closing the window. Nothing it started stays behind.
struct LauncherRunOutcome {
    bool ended = false;  // within the time bound
    DWORD exitCode = 0;
    std::optional<std::wstring> errorBox;
};

LauncherRunOutcome RunLauncherToTheEnd(const std::filesystem::path& launcher,
                                       const std::vector<std::wstring>& arguments,
                                       std::chrono::milliseconds bound = std::chrono::seconds(90));

// The launcher that a hand-off restarts in `launcher`'s place: waits for its
// window, presses "CHECK FOR UPDATES & PLAY" and follows it to its end. The
// exit code, or nullopt when no window opened or it did not end.
std::optional<DWORD> PlayWithTheRestartedLauncher(const std::filesystem::path& launcher);

// Every file below `folder` (but those under `skip`) with its size and a hash
// of its content, to show that a run created or changed nothing there.
using FolderFingerprint = std::map<std::wstring, std::pair<uintmax_t, size_t>>;
FolderFingerprint Fingerprint(const std::filesystem::path& folder,
                              const std::vector<std::filesystem::path>& skip = {});

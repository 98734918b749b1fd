#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// --- The schedule (no Windows calls) ---

// True for the failures a scanner or indexer holding a fresh file causes for
// a moment: worth trying again.
bool IsPassingMoveFailure(DWORD error);

// Scanners and indexers hold a fresh file for seconds, sometimes tens of
// seconds; one that scans a whole fresh build, file by file, for minutes.
inline constexpr std::chrono::milliseconds FreshFileHold{30000};
inline constexpr std::chrono::milliseconds FreshBuildHold{150000};

// The pauses between attempts: doubling from 50 ms, capped at 2 s, at most
// `window` in all.
std::vector<std::chrono::milliseconds> MoveRetryPauses(
    std::chrono::milliseconds window = FreshFileHold);

// --- The move ---

// MoveFileExW with `flags`, tried again after each pause while it fails with a
// passing failure, for at most `window`. `onLongHold`, when given, is called
// once the failures have lasted a few seconds. False when it still fails
// (GetLastError tells why).
bool MoveFileRetrying(const std::filesystem::path& from, const std::filesystem::path& to,
                      DWORD flags, std::chrono::milliseconds window = FreshFileHold,
                      const std::function<void()>& onLongHold = {});

// Writes `bytes` to "<file>.tmp" (flushed) and moves it over `file` in one
// step, so a crash or power cut leaves the old file or the new one. False
// when the move fails; raises WriteFileBytes' error when the temporary file
// cannot be written.
bool ReplaceFileThroughTemporary(const std::filesystem::path& file, const std::string& bytes);

#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// --- The schedule (no Windows calls) ---

// True for the failures a scanner or indexer holding a fresh file causes for
// a moment: worth trying again.
bool IsPassingMoveFailure(DWORD error);

// The pauses between attempts: doubling from 50 ms, capped at 2 s, at most
// 30 s in all (scanners and indexers hold a fresh executable for seconds,
// sometimes tens of seconds).
std::vector<std::chrono::milliseconds> MoveRetryPauses();

// --- The move ---

// MoveFileExW with `flags`, tried again after each pause while it fails with a
// passing failure. False when it still fails (GetLastError tells why).
bool MoveFileRetrying(const std::filesystem::path& from, const std::filesystem::path& to,
                      DWORD flags);

// Writes `bytes` to "<file>.tmp" (flushed) and moves it over `file` in one
// step, so a crash or power cut leaves the old file or the new one. False
// when the move fails; raises WriteFileBytes' error when the temporary file
// cannot be written.
bool ReplaceFileThroughTemporary(const std::filesystem::path& file, const std::string& bytes);

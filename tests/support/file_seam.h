#pragma once

#include <windows.h>

#include <string>

// A link-time seam (only in test programs linked with --wrap for MoveFileExW,
// DeleteFileW, SetFileInformationByHandle, FlushFileBuffers and Sleep): makes the file calls fail
// the way a scanner that holds fresh files makes them fail on Windows.
namespace file_seam {

// The next `count` MoveFileExW calls fail with `error` and move nothing.
// Until Reset, Sleep returns at once and only adds up the time asked for.
void FailNextMoves(int count, DWORD error);
// Sleep returns at once until Reset (a retried move that fails for real then
// takes no time).
void PassPausesAtOnce();
// Milliseconds that Sleep was asked for since FailNextMoves or PassPausesAtOnce.
DWORD PausedMilliseconds();
// MoveFileExW calls so far, failed ones included.
int MoveCalls();
// Deleting any file with this name (DeleteFileW or a delete disposition)
// fails with `error`; empty: none.
void RefuseDeleting(const std::wstring& name, DWORD error = ERROR_SHARING_VIOLATION);
// Whether the source of the last successful MoveFileExW had been flushed with
// FlushFileBuffers before it was moved.
bool LastMovedFileWasFlushed();
// Back to plain calls.
void Reset();

}  // namespace file_seam

#pragma once

#include <windows.h>

#include <string>

// A link-time seam (only in test programs linked with --wrap for MoveFileExW,
// DeleteFileW and FlushFileBuffers): makes the file calls fail the way a
// scanner that holds fresh files makes them fail on Windows.
namespace file_seam {

// The next `count` MoveFileExW calls fail with `error` and move nothing.
void FailNextMoves(int count, DWORD error);
// MoveFileExW calls so far, failed ones included.
int MoveCalls();
// DeleteFileW of any file with this name fails with `error`; empty: none.
void RefuseDeleting(const std::wstring& name, DWORD error = ERROR_SHARING_VIOLATION);
// Whether the source of the last successful MoveFileExW had been flushed with
// FlushFileBuffers before it was moved.
bool LastMovedFileWasFlushed();
// Back to plain calls.
void Reset();

}  // namespace file_seam

#pragma once

#include <windows.h>

#include <string>

// A link-time seam (only in test programs linked with the --wrap options of
// TESSIK_FILE_SEAM): makes the file calls fail the way a scanner that holds
// fresh files makes them fail on Windows, and as strict as Windows where Wine
// is kinder: a plain (not "\\?\") path of 260 characters or more (248 for a
// folder to create) is refused by CreateFileW, CreateDirectoryW,
// FindFirstFileExW, GetFileAttributesExW and the C runtime's _wfopen,
// _wstat64, _wmkdir and _wremove; a file is not created over a name whose
// classic deletion is still pending; a POSIX delete disposition counts as a
// deletion.
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
// Until Reset, a stand-in scanner opens every file that CreateFileW creates,
// at once and with every sharing, and holds it for `milliseconds`: a deletion
// then leaves the name pending, a folder above it cannot be emptied or
// renamed, as on a Windows machine with an antivirus or indexer running.
void HoldFreshFiles(DWORD milliseconds);
// The next MoveFileExW of a folder finds the scanner on the file below it
// whose path ends with `tail`, held for `milliseconds` of the seam's clock:
// real time plus the pauses that Sleep, from now until Reset, lets pass at once.
void HoldFileOnNextFolderMove(const std::wstring& tail, DWORD milliseconds);
// Files the scanner opened since HoldFreshFiles.
int FilesHeldByScanner();
// Files that CreateFileW created or overwrote since Reset whose path ends
// with `tail` (any letter case, "\\" separators).
int FilesCreatedEndingWith(const std::wstring& tail);
// Plain paths refused as too long since Reset.
int LongPathRefusals();
// Back to plain calls.
void Reset();

}  // namespace file_seam

#include "tests/support/file_seam.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cwctype>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "tests/support/held_files.h"

namespace {

using MoveFunction = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
using DeleteFunction = BOOL(WINAPI*)(LPCWSTR);
using FlushFunction = BOOL(WINAPI*)(HANDLE);
using SleepFunction = void(WINAPI*)(DWORD);
using SetInformationFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
using CreateFileFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                           DWORD, HANDLE);
using CreateDirectoryFunction = BOOL(WINAPI*)(LPCWSTR, LPSECURITY_ATTRIBUTES);
using FindFirstFunction = HANDLE(WINAPI*)(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS,
                                          LPVOID, DWORD);
using AttributesFunction = BOOL(WINAPI*)(LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID);
using OpenStreamFunction = FILE*(__cdecl*)(const wchar_t*, const wchar_t*);
using StatFunction = int(__cdecl*)(const wchar_t*, struct _stat64*);
using PathFunction = int(__cdecl*)(const wchar_t*);

// Windows without the long-path opt-in: a plain path ends at MAX_PATH (260
// with its terminator) and a folder to create at 248; only "\\?\" paths go on.
constexpr size_t PlainPathLimit = 260;
constexpr size_t PlainFolderLimit = 248;
// FileDispositionInfoEx, which the headers name only for newer targets.
constexpr auto DispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

std::mutex lock;
int failuresLeft = 0;
DWORD failure = 0;
int moveCalls = 0;
std::wstring refusedName;
DWORD refusal = 0;
std::set<std::wstring> flushed;
bool lastMoveFlushed = false;
bool pausesPass = false;
DWORD paused = 0;
// Files deleted the classic way whose names may still stand, held by another
// handle; Windows creates nothing over such a name.
std::set<std::wstring> pendingNames;
int longPathRefusals = 0;
// The scanner's handles and when each is let go.
struct ScannerHold {
    HANDLE file;
    ULONGLONG until;
};
DWORD scannerHoldMs = 0;
std::deque<ScannerHold> scannerHolds;
int scannerOpens = 0;
std::multiset<std::wstring> createdFiles;
// The seam's clock: real time plus every pause Sleep let pass at once, so a
// hold of minutes ends within a test's seconds.
ULONGLONG skippedMs = 0;
// The next move of a folder finds the scanner on its file ending thus.
std::wstring folderMoveTail;
DWORD folderMoveHoldMs = 0;

// One spelling for a path, whichever call produced it.
std::wstring Comparable(std::wstring path) {
    for (const wchar_t* prefix : {L"\\\\?\\", L"\\??\\"}) {
        if (path.rfind(prefix, 0) == 0) path.erase(0, 4);
    }
    std::transform(path.begin(), path.end(), path.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return path;
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::wstring FullPath(LPCWSTR path) {
    wchar_t full[32768];
    const DWORD length = GetFullPathNameW(path, 32768, full, nullptr);
    return length == 0 || length >= 32768 ? std::wstring(path) : std::wstring(full, length);
}

// True when Windows would refuse the path as too long for a plain path.
bool TooLongForPlainPath(const wchar_t* path, size_t limit) {
    if (path == nullptr) return false;
    const std::wstring text(path);
    if (text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\??\\", 0) == 0) return false;
    if (FullPath(path).size() + 1 <= limit && text.size() + 1 <= limit) return false;
    std::lock_guard<std::mutex> guard(lock);
    ++longPathRefusals;
    return true;
}

ULONGLONG SeamNow() { return GetTickCount64() + skippedMs; }

// With the lock held.
void ReleaseDueHolds() {
    while (!scannerHolds.empty() && scannerHolds.front().until <= SeamNow()) {
        CloseHandle(scannerHolds.front().file);
        scannerHolds.pop_front();
    }
}

}  // namespace

extern "C" {
extern CreateFileFunction __real___imp_CreateFileW;
extern CreateDirectoryFunction __real___imp_CreateDirectoryW;
extern FindFirstFunction __real___imp_FindFirstFileExW;
extern AttributesFunction __real___imp_GetFileAttributesExW;
extern OpenStreamFunction __real___imp__wfopen;
extern StatFunction __real___imp__wstat64;
extern PathFunction __real___imp__wmkdir;
extern PathFunction __real___imp__wremove;
extern MoveFunction __real___imp_MoveFileExW;
extern DeleteFunction __real___imp_DeleteFileW;
extern FlushFunction __real___imp_FlushFileBuffers;
extern SleepFunction __real___imp_Sleep;
extern SetInformationFunction __real___imp_SetFileInformationByHandle;

static void HoldFileOfMovedFolder(LPCWSTR from);

static BOOL WINAPI SeamMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    HoldFileOfMovedFolder(from);
    {
        std::lock_guard<std::mutex> guard(lock);
        ++moveCalls;
        if (failuresLeft > 0) {
            --failuresLeft;
            SetLastError(failure);
            return FALSE;
        }
    }
    if (file_seam::FolderHoldsOpenFile(from)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::wstring source = Comparable(FullPath(from));
    const BOOL moved = __real___imp_MoveFileExW(from, to, flags);
    const DWORD error = GetLastError();
    if (moved) {
        std::lock_guard<std::mutex> guard(lock);
        lastMoveFlushed = flushed.count(source) != 0;
    }
    SetLastError(error);
    return moved;
}

// True (with the refusal as the last error) when deleting `full` is refused.
static bool RefusesDeleting(const std::wstring& full) {
    const std::wstring name = Comparable(full);
    DWORD error = 0;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (refusedName.empty() || !EndsWith(name, refusedName)) {
            return false;
        }
        error = refusal;
    }
    SetLastError(error);
    return true;
}

static BOOL WINAPI SeamDeleteFileW(LPCWSTR path) {
    if (RefusesDeleting(FullPath(path))) return FALSE;
    return __real___imp_DeleteFileW(path);
}

// A delete disposition, classic or POSIX, is a deletion too.
static BOOL WINAPI SeamSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                                  LPVOID information, DWORD size) {
    const bool classic = kind == FileDispositionInfo &&
                         static_cast<const FILE_DISPOSITION_INFO*>(information)->DeleteFile;
    const bool posix = kind == DispositionInfoEx &&
                       (static_cast<const FILE_DISPOSITION_INFO_EX*>(information)->Flags &
                        FILE_DISPOSITION_FLAG_DELETE) != 0;
    std::wstring deleted;
    if (classic || posix) {
        wchar_t name[32768];
        const DWORD length = GetFinalPathNameByHandleW(file, name, 32768, FILE_NAME_NORMALIZED);
        if (length > 0 && length < 32768) deleted.assign(name, length);
        if (!deleted.empty() && RefusesDeleting(deleted)) return FALSE;
    }
    const BOOL done = __real___imp_SetFileInformationByHandle(file, kind, information, size);
    const DWORD error = GetLastError();
    if (done && classic && !deleted.empty()) {
        std::lock_guard<std::mutex> guard(lock);
        pendingNames.insert(Comparable(deleted));
    }
    SetLastError(error);
    return done;
}

// Windows refuses to create a file over a name whose deletion is pending
// (Wine creates it afresh).
static bool OverPendingName(LPCWSTR path) {
    const std::wstring name = Comparable(FullPath(path));
    {
        std::lock_guard<std::mutex> guard(lock);
        if (pendingNames.count(name) == 0) return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (__real___imp_GetFileAttributesExW((L"\\\\?\\" + name).c_str(), GetFileExInfoStandard,
                                          &data)) {
        return true;
    }
    std::lock_guard<std::mutex> guard(lock);
    pendingNames.erase(name);
    return false;
}

// Lets the scanner's handles go once their time has come; runs for the rest
// of the test program.
static void ReleaseScannedFiles() {
    for (;;) {
        __real___imp_Sleep(50);
        std::lock_guard<std::mutex> guard(lock);
        ReleaseDueHolds();
    }
}

// Started outside the lock: winpthreads waits for a new thread to run.
static void StartReleasing() {
    static std::once_flag releasing;
    std::call_once(releasing, [] { std::thread(ReleaseScannedFiles).detach(); });
}

// Opens `full` as a scanner does, with every sharing, until `ms` from now on
// the seam's clock. With the lock held.
static void HoldAsScanner(const std::wstring& full, DWORD ms) {
    const HANDLE held = __real___imp_CreateFileW(
        full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return;
    ++scannerOpens;
    scannerHolds.push_back({held, SeamNow() + ms});
}

static void HoldFileOfMovedFolder(LPCWSTR from) {
    std::wstring tail;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (folderMoveTail.empty()) return;
        tail = folderMoveTail;
    }
    const std::wstring found = file_seam::FirstFileBelow(
        from, [&](const std::wstring& file) { return EndsWith(Comparable(file), tail); });
    if (found.empty()) return;
    StartReleasing();
    std::lock_guard<std::mutex> guard(lock);
    folderMoveTail.clear();
    HoldAsScanner(found, folderMoveHoldMs);
}

// A file its creator opened without sharing is left alone, as a scanner
// that cannot open it would.
static void ScanFreshFile(LPCWSTR path) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (scannerHoldMs == 0) return;
    }
    StartReleasing();
    std::lock_guard<std::mutex> guard(lock);
    if (scannerHoldMs == 0) return;
    std::wstring full = FullPath(path);
    if (full.rfind(L"\\\\?\\", 0) != 0) full.insert(0, L"\\\\?\\");
    HoldAsScanner(full, scannerHoldMs);
}

static HANDLE WINAPI SeamCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                     HANDLE model) {
    if (TooLongForPlainPath(path, PlainPathLimit)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition != OPEN_EXISTING && OverPendingName(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE file =
        __real___imp_CreateFileW(path, access, share, security, disposition, flags, model);
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE && disposition != OPEN_EXISTING) {
        {
            std::lock_guard<std::mutex> guard(lock);
            createdFiles.insert(Comparable(FullPath(path)));
        }
        if (disposition != TRUNCATE_EXISTING) ScanFreshFile(path);
    }
    SetLastError(error);
    return file;
}

static BOOL WINAPI SeamCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    if (TooLongForPlainPath(path, PlainFolderLimit)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return __real___imp_CreateDirectoryW(path, security);
}

static HANDLE WINAPI SeamFindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found,
                                          FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
    if (TooLongForPlainPath(pattern, PlainPathLimit)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return __real___imp_FindFirstFileExW(pattern, level, found, search, filter, flags);
}

static BOOL WINAPI SeamGetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level,
                                            LPVOID data) {
    if (TooLongForPlainPath(path, PlainPathLimit)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return __real___imp_GetFileAttributesExW(path, level, data);
}

static FILE* __cdecl SeamWfopen(const wchar_t* path, const wchar_t* mode) {
    if (TooLongForPlainPath(path, PlainPathLimit)) {
        errno = ENOENT;
        return nullptr;
    }
    return __real___imp__wfopen(path, mode);
}

static int __cdecl SeamWstat64(const wchar_t* path, struct _stat64* facts) {
    if (TooLongForPlainPath(path, PlainPathLimit)) {
        errno = ENOENT;
        return -1;
    }
    return __real___imp__wstat64(path, facts);
}

static int __cdecl SeamWmkdir(const wchar_t* path) {
    if (TooLongForPlainPath(path, PlainFolderLimit)) {
        errno = ENOENT;
        return -1;
    }
    return __real___imp__wmkdir(path);
}

static int __cdecl SeamWremove(const wchar_t* path) {
    if (TooLongForPlainPath(path, PlainPathLimit)) {
        errno = ENOENT;
        return -1;
    }
    return __real___imp__wremove(path);
}

static BOOL WINAPI SeamFlushFileBuffers(HANDLE file) {
    const BOOL done = __real___imp_FlushFileBuffers(file);
    const DWORD error = GetLastError();
    wchar_t name[32768];
    const DWORD length = GetFinalPathNameByHandleW(file, name, 32768, FILE_NAME_NORMALIZED);
    if (done && length > 0 && length < 32768) {
        std::lock_guard<std::mutex> guard(lock);
        flushed.insert(Comparable(std::wstring(name, length)));
    }
    SetLastError(error);
    return done;
}

static void WINAPI SeamSleep(DWORD milliseconds) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (pausesPass) {
            paused += milliseconds;
            skippedMs += milliseconds;
            ReleaseDueHolds();
            return;
        }
    }
    __real___imp_Sleep(milliseconds);
}

MoveFunction __wrap___imp_MoveFileExW = SeamMoveFileExW;
SleepFunction __wrap___imp_Sleep = SeamSleep;
SetInformationFunction __wrap___imp_SetFileInformationByHandle = SeamSetFileInformationByHandle;
DeleteFunction __wrap___imp_DeleteFileW = SeamDeleteFileW;
FlushFunction __wrap___imp_FlushFileBuffers = SeamFlushFileBuffers;
CreateFileFunction __wrap___imp_CreateFileW = SeamCreateFileW;
CreateDirectoryFunction __wrap___imp_CreateDirectoryW = SeamCreateDirectoryW;
FindFirstFunction __wrap___imp_FindFirstFileExW = SeamFindFirstFileExW;
AttributesFunction __wrap___imp_GetFileAttributesExW = SeamGetFileAttributesExW;
OpenStreamFunction __wrap___imp__wfopen = SeamWfopen;
StatFunction __wrap___imp__wstat64 = SeamWstat64;
PathFunction __wrap___imp__wmkdir = SeamWmkdir;
PathFunction __wrap___imp__wremove = SeamWremove;
}

namespace file_seam {

void FailNextMoves(int count, DWORD error) {
    PassPausesAtOnce();
    std::lock_guard<std::mutex> guard(lock);
    failuresLeft = count;
    failure = error;
}

void PassPausesAtOnce() {
    std::lock_guard<std::mutex> guard(lock);
    pausesPass = true;
    paused = 0;
}

DWORD PausedMilliseconds() {
    std::lock_guard<std::mutex> guard(lock);
    return paused;
}

int MoveCalls() {
    std::lock_guard<std::mutex> guard(lock);
    return moveCalls;
}

void RefuseDeleting(const std::wstring& name, DWORD error) {
    std::lock_guard<std::mutex> guard(lock);
    refusedName = Comparable(L"\\" + name);
    if (name.empty()) refusedName.clear();
    refusal = error;
}

bool LastMovedFileWasFlushed() {
    std::lock_guard<std::mutex> guard(lock);
    return lastMoveFlushed;
}

void HoldFreshFiles(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(lock);
    scannerHoldMs = milliseconds;
    scannerOpens = 0;
}

int FilesHeldByScanner() {
    std::lock_guard<std::mutex> guard(lock);
    return scannerOpens;
}

int FilesCreatedEndingWith(const std::wstring& tail) {
    const std::wstring end = Comparable(tail);
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(
        std::count_if(createdFiles.begin(), createdFiles.end(),
                      [&](const std::wstring& file) { return EndsWith(file, end); }));
}

int LongPathRefusals() {
    std::lock_guard<std::mutex> guard(lock);
    return longPathRefusals;
}

void HoldFileOnNextFolderMove(const std::wstring& tail, DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(lock);
    folderMoveTail = Comparable(tail);
    folderMoveHoldMs = milliseconds;
    pausesPass = true;
    paused = 0;
}

void Reset() {
    std::lock_guard<std::mutex> guard(lock);
    longPathRefusals = 0;
    failuresLeft = 0;
    pausesPass = false;
    paused = 0;
    moveCalls = 0;
    refusedName.clear();
    scannerHoldMs = 0;
    folderMoveTail.clear();
    for (const ScannerHold& hold : scannerHolds) CloseHandle(hold.file);
    scannerHolds.clear();
    createdFiles.clear();
    flushed.clear();
    lastMoveFlushed = false;
}

}  // namespace file_seam

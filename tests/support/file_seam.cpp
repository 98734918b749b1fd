#include "tests/support/file_seam.h"

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <set>

#include "tests/support/held_files.h"

namespace {

using MoveFunction = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
using DeleteFunction = BOOL(WINAPI*)(LPCWSTR);
using FlushFunction = BOOL(WINAPI*)(HANDLE);
using SleepFunction = void(WINAPI*)(DWORD);
using SetInformationFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

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

// One spelling for a path, whichever call produced it.
std::wstring Comparable(std::wstring path) {
    for (const wchar_t* prefix : {L"\\\\?\\", L"\\??\\"}) {
        if (path.rfind(prefix, 0) == 0) path.erase(0, 4);
    }
    std::transform(path.begin(), path.end(), path.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return path;
}

std::wstring FullPath(LPCWSTR path) {
    wchar_t full[32768];
    const DWORD length = GetFullPathNameW(path, 32768, full, nullptr);
    return length == 0 || length >= 32768 ? std::wstring(path) : std::wstring(full, length);
}

}  // namespace

extern "C" {
extern MoveFunction __real___imp_MoveFileExW;
extern DeleteFunction __real___imp_DeleteFileW;
extern FlushFunction __real___imp_FlushFileBuffers;
extern SleepFunction __real___imp_Sleep;
extern SetInformationFunction __real___imp_SetFileInformationByHandle;

static BOOL WINAPI SeamMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
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
        if (refusedName.empty() || name.size() < refusedName.size() ||
            name.compare(name.size() - refusedName.size(), refusedName.size(), refusedName) != 0) {
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

// A delete disposition is a deletion too.
static BOOL WINAPI SeamSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                                  LPVOID information, DWORD size) {
    if (kind == FileDispositionInfo &&
        static_cast<const FILE_DISPOSITION_INFO*>(information)->DeleteFile) {
        wchar_t name[32768];
        const DWORD length = GetFinalPathNameByHandleW(file, name, 32768, FILE_NAME_NORMALIZED);
        if (length > 0 && length < 32768 && RefusesDeleting(std::wstring(name, length))) {
            return FALSE;
        }
    }
    return __real___imp_SetFileInformationByHandle(file, kind, information, size);
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

void Reset() {
    std::lock_guard<std::mutex> guard(lock);
    failuresLeft = 0;
    pausesPass = false;
    paused = 0;
    moveCalls = 0;
    refusedName.clear();
    flushed.clear();
    lastMoveFlushed = false;
}

}  // namespace file_seam

#include "tests/support/file_seam.h"

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <set>

namespace {

using MoveFunction = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
using DeleteFunction = BOOL(WINAPI*)(LPCWSTR);
using FlushFunction = BOOL(WINAPI*)(HANDLE);

std::mutex lock;
int failuresLeft = 0;
DWORD failure = 0;
int moveCalls = 0;
std::wstring refusedName;
DWORD refusal = 0;
std::set<std::wstring> flushed;
bool lastMoveFlushed = false;

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

static BOOL WINAPI SeamDeleteFileW(LPCWSTR path) {
    {
        std::lock_guard<std::mutex> guard(lock);
        const std::wstring full = Comparable(FullPath(path));
        if (!refusedName.empty() && full.size() >= refusedName.size() &&
            full.compare(full.size() - refusedName.size(), refusedName.size(), refusedName) == 0) {
            SetLastError(refusal);
            return FALSE;
        }
    }
    return __real___imp_DeleteFileW(path);
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

MoveFunction __wrap___imp_MoveFileExW = SeamMoveFileExW;
DeleteFunction __wrap___imp_DeleteFileW = SeamDeleteFileW;
FlushFunction __wrap___imp_FlushFileBuffers = SeamFlushFileBuffers;
}

namespace file_seam {

void FailNextMoves(int count, DWORD error) {
    std::lock_guard<std::mutex> guard(lock);
    failuresLeft = count;
    failure = error;
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
    moveCalls = 0;
    refusedName.clear();
    flushed.clear();
    lastMoveFlushed = false;
}

}  // namespace file_seam

#include "tests/support/process_seam.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <mutex>
#include <optional>

namespace {

using CreateProcessFunction = BOOL(WINAPI*)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES,
                                            LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                            LPSTARTUPINFOW, LPPROCESS_INFORMATION);
using TokenInformationFunction = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,
                                               PDWORD);
using MessageFilterFunction = BOOL(WINAPI*)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT);

std::mutex lock;
std::wstring refusedTail;
DWORD refusal = 0;
int refusedStarts = 0;
std::optional<bool> elevated;
std::map<UINT, int> openings;

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

}  // namespace

extern "C" {
extern CreateProcessFunction __real___imp_CreateProcessW;
extern TokenInformationFunction __real___imp_GetTokenInformation;
extern MessageFilterFunction __real___imp_ChangeWindowMessageFilterEx;

static BOOL WINAPI SeamCreateProcessW(LPCWSTR program, LPWSTR line, LPSECURITY_ATTRIBUTES process,
                                      LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                                      LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                                      LPPROCESS_INFORMATION started) {
    if (program != nullptr) {
        const std::wstring name = Lower(program);
        std::lock_guard<std::mutex> guard(lock);
        if (!refusedTail.empty() && name.size() >= refusedTail.size() &&
            name.compare(name.size() - refusedTail.size(), refusedTail.size(), refusedTail) == 0) {
            ++refusedStarts;
            SetLastError(refusal);
            return FALSE;
        }
    }
    return __real___imp_CreateProcessW(program, line, process, thread, inherit, flags, environment,
                                       folder, startup, started);
}

static BOOL WINAPI SeamGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID into,
                                           DWORD size, PDWORD needed) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (kind == TokenElevation && elevated && size >= sizeof(TOKEN_ELEVATION)) {
            static_cast<TOKEN_ELEVATION*>(into)->TokenIsElevated = *elevated ? 1 : 0;
            if (needed != nullptr) *needed = sizeof(TOKEN_ELEVATION);
            return TRUE;
        }
    }
    return __real___imp_GetTokenInformation(token, kind, into, size, needed);
}

static BOOL WINAPI SeamChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action,
                                                   PCHANGEFILTERSTRUCT status) {
    if (action == MSGFLT_ALLOW) {
        std::lock_guard<std::mutex> guard(lock);
        ++openings[message];
    }
    return __real___imp_ChangeWindowMessageFilterEx(window, message, action, status);
}

CreateProcessFunction __wrap___imp_CreateProcessW = SeamCreateProcessW;
TokenInformationFunction __wrap___imp_GetTokenInformation = SeamGetTokenInformation;
MessageFilterFunction __wrap___imp_ChangeWindowMessageFilterEx = SeamChangeWindowMessageFilterEx;
}

namespace process_seam {

void RefuseStarting(const std::wstring& tail, DWORD error) {
    std::lock_guard<std::mutex> guard(lock);
    refusedTail = Lower(tail);
    refusal = error;
}

int RefusedStarts() {
    std::lock_guard<std::mutex> guard(lock);
    return refusedStarts;
}

void ReportElevated(bool value) {
    std::lock_guard<std::mutex> guard(lock);
    elevated = value;
}

int FilterOpenings(UINT message) {
    std::lock_guard<std::mutex> guard(lock);
    const auto found = openings.find(message);
    return found == openings.end() ? 0 : found->second;
}

void Reset() {
    std::lock_guard<std::mutex> guard(lock);
    refusedTail.clear();
    refusedStarts = 0;
    elevated.reset();
    openings.clear();
}

}  // namespace process_seam

#include "base/detached_process.h"

#include <shellapi.h>

#include "base/scoped_handle.h"

namespace {

// Why the start just failed: never "success", which a caller would take as a start.
DWORD StartFailure() {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
}

}  // namespace

DWORD StartDetachedProcess(const std::filesystem::path& program, std::wstring commandLine,
                           DWORD creationFlags, const std::filesystem::path& folder) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, creationFlags,
                        nullptr, folder.c_str(), &startup, &process)) {
        return StartFailure();
    }
    // Owned only to be released: the launcher never waits for what it starts.
    const ProcessHandles started(process);
    return ERROR_SUCCESS;
}

DWORD StartElevatedProcess(const std::filesystem::path& program, const std::wstring& parameters,
                           const std::filesystem::path& folder) {
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof(execute);
    // No asynchronous hand-off: the launcher may end as soon as this returns.
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    // The default verb: the shell elevates what asks for it (a "runas" would
    // elevate even a program that no longer asks).
    execute.lpVerb = nullptr;
    execute.lpFile = program.c_str();
    execute.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    execute.lpDirectory = folder.c_str();
    execute.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&execute)) {
        return StartFailure();
    }
    const KernelHandle started(execute.hProcess);
    return ERROR_SUCCESS;
}

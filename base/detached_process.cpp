#include "base/detached_process.h"

#include "base/scoped_handle.h"

bool StartDetachedProcess(const std::filesystem::path& program, std::wstring commandLine,
                          DWORD creationFlags, const std::filesystem::path& folder) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, creationFlags,
                        nullptr, folder.c_str(), &startup, &process)) {
        return false;
    }
    // Owned only to be released: the launcher never waits for what it starts.
    const ProcessHandles started(process);
    return true;
}

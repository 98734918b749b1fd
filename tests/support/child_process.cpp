#include "tests/support/child_process.h"

#include <stdexcept>

#include "base/command_line.h"

ChildProcess ChildProcess::Start(const std::filesystem::path& program,
                                 const std::vector<std::wstring>& arguments,
                                 const std::filesystem::path& folder) {
    std::vector<std::wstring> words{program.wstring()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::wstring commandLine = BuildCommandLine(words);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        throw std::runtime_error("could not start " + program.string());
    }
    KernelHandle thread(info.hThread);
    ChildProcess child;
    child.process_.reset(info.hProcess);
    child.id_ = info.dwProcessId;
    return child;
}

ChildProcess::~ChildProcess() { Terminate(); }

std::optional<DWORD> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    if (!process_) return std::nullopt;
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void ChildProcess::Terminate() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 10000);
    }
}

std::optional<DWORD> WaitForProcessExit(DWORD processId, std::chrono::milliseconds timeout) {
    KernelHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return 0;  // already gone
    if (WaitForSingleObject(process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

void TerminateLeftover(DWORD processId) {
    KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.get(), 99);
        WaitForSingleObject(process.get(), 10000);
    }
}

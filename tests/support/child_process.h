#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/scoped_handle.h"

// A program a test starts. Whatever is still running when the owner goes away
// is ended, so a failing test leaves nothing behind.
class ChildProcess {
  public:
    // Starts `program` with the arguments (quoted by the launcher's rule), in
    // `folder` (the test's own folder when empty), with this process's
    // environment.
    static ChildProcess Start(const std::filesystem::path& program,
                              const std::vector<std::wstring>& arguments = {},
                              const std::filesystem::path& folder = {});

    ChildProcess(ChildProcess&&) = default;
    ChildProcess& operator=(ChildProcess&&) = default;
    ~ChildProcess();

    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_.get(); }

    // The exit code, or nullopt when it is still running after `timeout`.
    std::optional<DWORD> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(60));

    void Terminate();

  private:
    ChildProcess() = default;
    KernelHandle process_;
    DWORD id_ = 0;
};

// Waits for a process that the test did not start itself (by id).
std::optional<DWORD> WaitForProcessExit(DWORD processId, std::chrono::milliseconds timeout);

// Ends such a process if it still runs.
void TerminateLeftover(DWORD processId);

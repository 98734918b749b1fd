#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/process_values.h"

enum class RunKind {
    Window,                // the normal windowed launcher
    Diagnostics,           // --selftest, --verify-native, --probe-manifest
    FinishLauncherUpdate,  // the hand-off copy of a launcher update
    BadProcessId,          // finishing mode whose process id cannot be read
};

struct RunChoice {
    RunKind kind = RunKind::Window;
    bool probe = false;  // Diagnostics: --probe-manifest
    std::uint32_t processId = 0;
    std::filesystem::path source, target, backup;  // FinishLauncherUpdate
    std::wstring inviteLink;                       // Window
};

// Chooses the run from the split command line (argument 0 names the executable).
RunChoice ChooseRun(const std::vector<std::wstring>& arguments);

// Reads a process id the way wcstoul does in base 10; empty when no digit can be
// read or the value does not fit in 32 bits.
std::optional<std::uint32_t> ReadProcessIdArgument(const std::wstring& text);

// The command line split by CommandLineToArgvW; empty when it cannot be split.
std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine);

// The running executable's full path; empty when it was too long to read whole.
std::wstring ReadExecutablePath();

// The whole process: chooses the run, carries it out, returns the exit code.
int RunEntryPoint(HINSTANCE instance, int showCommand);

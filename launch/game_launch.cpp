#include "launch/game_launch.h"

#include "base/command_line.h"
#include "base/detached_process.h"
#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/process_values.h"

std::wstring GameCommandLine(const std::wstring& executable, const std::wstring& invite) {
    std::wstring line = QuoteCommandLineArgument(executable);
    if (!invite.empty()) {
        line += L' ';
        line += QuoteCommandLineArgument(invite);
    }
    return line;
}

void LaunchGame(const std::filesystem::path& buildFolder) {
    const std::filesystem::path executable = buildFolder / L"tessik.exe";
    if (!PathExists(executable)) {
        throw LauncherError("The installed game executable is missing");
    }
    if (!StartDetachedProcess(executable,
                              GameCommandLine(executable.wstring(), inviteLink.TakeForStart()), 0,
                              buildFolder)) {
        throw LauncherError("Windows could not start TESSIK");
    }
}

#include "launch/game_launch.h"

#include "base/command_line.h"
#include "base/detached_process.h"
#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/process_values.h"
#include "store/security_removals.h"

namespace {

// Windows' codes, which the MinGW headers do not name.
constexpr DWORD ElevationRequired = 740;  // ERROR_ELEVATION_REQUIRED
constexpr DWORD VirusInfected = 225;      // ERROR_VIRUS_INFECTED
constexpr DWORD VirusDeleted = 226;       // ERROR_VIRUS_DELETED

}  // namespace

std::wstring GameArguments(const std::wstring& invite) {
    return invite.empty() ? std::wstring() : QuoteCommandLineArgument(invite);
}

std::wstring GameCommandLine(const std::wstring& executable, const std::wstring& invite) {
    std::wstring line = QuoteCommandLineArgument(executable);
    if (!invite.empty()) {
        line += L' ';
        line += GameArguments(invite);
    }
    return line;
}

void LaunchGame(const std::filesystem::path& buildFolder) {
    const std::filesystem::path executable = buildFolder / L"tessik.exe";
    if (!PathExists(executable)) {
        throw LauncherError("The installed game executable is missing");
    }
    const std::wstring invite = inviteLink.TakeForStart();
    DWORD error = StartDetachedProcess(executable, GameCommandLine(executable.wstring(), invite), 0,
                                       buildFolder);
    // The game's manifest asks for administrator rights, or the player set
    // "Run as administrator" on it: only the shell may ask for them.
    if (error == ElevationRequired) {
        error = StartElevatedProcess(executable, GameArguments(invite), buildFolder);
    }
    switch (error) {
        case ERROR_SUCCESS:
            return;
        case VirusInfected:
        case VirusDeleted:
            throw SecurityRemovalError();
        case ERROR_CANCELLED:
            throw LauncherError("TESSIK was not allowed to run as administrator");
        default:
            throw LauncherError("Windows could not start TESSIK");
    }
}

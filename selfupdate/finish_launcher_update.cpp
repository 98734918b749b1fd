#include "selfupdate/finish_launcher_update.h"

#include <windows.h>

#include <optional>

#include "base/command_line.h"
#include "base/detached_process.h"
#include "base/scoped_handle.h"
#include "store/installation_lock.h"
#include "store/retrying_move.h"

namespace {

constexpr DWORD OldLauncherWaitMilliseconds = 30000;
constexpr DWORD ReplaceFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

}  // namespace

int FinishLauncherUpdate(std::uint32_t processId, const std::filesystem::path& source,
                         const std::filesystem::path& target, const std::filesystem::path& backup) {
    {
        // The old launcher should already be closing; it is given a bounded time.
        KernelHandle oldLauncher(OpenProcess(SYNCHRONIZE, FALSE, processId));
        if (oldLauncher) {
            WaitForSingleObject(oldLauncher.get(), OldLauncherWaitMilliseconds);
        }
    }
    // A launcher started meanwhile (an invite link) may be installing from the
    // same storage, or replacing this very executable: one at a time. Without
    // the lock the replacement still goes ahead, as it always did.
    std::optional<InstallationLock> lock;
    std::optional<InstallationLock::Owner> held;
    try {
        lock.emplace(source.parent_path());
        held.emplace(lock->Acquire());
    } catch (const std::exception&) {
    }
    DeleteFileW(backup.c_str());
    // A scanner may still hold the old executable for a moment.
    if (!MoveFileRetrying(target, backup, ReplaceFlags)) {
        return 21;
    }
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        MoveFileRetrying(backup, target, ReplaceFlags);
        return 22;
    }
    if (StartDetachedProcess(target, QuoteCommandLineArgument(target.wstring()), 0,
                             target.parent_path()) != ERROR_SUCCESS) {
        return 23;
    }
    return 0;
}

#include "selfupdate/launcher_update.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "base/command_line.h"
#include "base/detached_process.h"
#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/process_values.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "build_config.h"
#include "service/https_transfer.h"
#include "service/manifest_signature.h"
#include "service/transfer_rules.h"
#include "store/disk_space.h"
#include "store/manifest_sequence.h"
#include "store/partial_download.h"
#include "store/pending_invite.h"
#include "store/version_name.h"

namespace fs = std::filesystem;

std::wstring LauncherManifestAddress() {
    const std::wstring configured = ReadEnvironmentVariable(L"TESSIK_LAUNCHER_UPDATE_MANIFEST");
    if (!configured.empty()) {
        return configured;
    }
    return std::wstring(L"https://") + DefaultUpdateHost +
           L"/release/windows-launcher-x86_64-manifest.json";
}

std::wstring HandOffCommandLine(const fs::path& update, std::uint32_t processId,
                                const fs::path& launcher, const fs::path& backup) {
    const std::wstring quotedUpdate = QuoteCommandLineArgument(update.wstring());
    return quotedUpdate + L" --finish-launcher-update " + std::to_wstring(processId) + L" " +
           quotedUpdate + L" " + QuoteCommandLineArgument(launcher.wstring()) + L" " +
           QuoteCommandLineArgument(backup.wstring());
}

fs::path LauncherBackupPath(const fs::path& launcher) {
    return launcher.parent_path() / (L"launcher-backup-" + Utf8ToUtf16(LauncherVersion) + L".exe");
}

namespace {

// The file goes when its last handle closes.
bool DeleteByHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != FALSE;
}

}  // namespace

bool CanReplaceLauncherExecutable(const fs::path& launcher) {
    constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // The hand-off renames the executable itself, which needs delete access to
    // it (denied, for example, on another user's file in a shared folder).
    {
        const HANDLE executable = CreateFileW(launcher.c_str(), DELETE, ShareAll, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (executable == INVALID_HANDLE_VALUE) {
            return false;
        }
        KernelHandle opened(executable);
    }

    // The backup is made in the same folder: a fresh file is renamed there as
    // the executable will be, through its handle, and is then deleted through
    // that handle (Microsoft describes no rename of a handle opened
    // delete-on-close on NTFS). Nothing stays behind: should the moved name refuse
    // its deletion, the file goes back to its first name and is deleted there.
    const fs::path probe =
        launcher.parent_path() /
        (L"launcher-replace-check-" + std::to_wstring(GetCurrentProcessId()) + L".tmp");
    const HANDLE raw = CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        return false;
    }
    KernelHandle file(raw);
    const bool renamed = RenameOpenFile(file.get(), probe.wstring() + L".moved", false);
    if (!DeleteByHandle(file.get()) && renamed && RenameOpenFile(file.get(), probe, false)) {
        DeleteByHandle(file.get());
    }
    return renamed;
}

bool CheckLauncherUpdate(const fs::path& root, RememberedSequences& seen) {
    // Without its own path the hand-off could not name the file to replace.
    if (launcherExecutablePath.empty()) {
        throw LauncherError("The launcher could not find its own executable");
    }
    std::string text;
    HttpsGet(LauncherManifestAddress(), &text, nullptr);
    const UpdateManifest manifest = ReadRememberedManifest(text, "TESSIK-Launcher-Windows-x64.exe",
                                                           ManifestKind::Launcher, seen);
    SweepLauncherPartials(root, manifest.sha256);
    if (manifest.version == LauncherVersion) {
        return false;
    }
    // The version becomes part of a file name in the storage root.
    const std::wstring version = SafeVersionName(manifest.version);
    // Checked before the download, so none is wasted on a hand-off that could
    // never finish.
    if (!CanReplaceLauncherExecutable(launcherExecutablePath)) {
        throw LauncherError("The launcher cannot replace its own executable");
    }

    // The restart would lose a link handed over from now on: later senders
    // are refused and start their game themselves. This one's link waits in
    // storage for the restarted launcher.
    const std::wstring invite = inviteLink.TakeForStart();
    try {
        PostStatus(L"Downloading launcher update...");
        const fs::path update = root / (L"launcher-update-" + version + L".exe");
        // Nothing else reads it before the hand-off: the held handle is let go.
        DownloadVerifiedFile(manifest, root, L"launcher", update,
                             "Downloaded launcher failed its SHA-256 check",
                             DownloadOptions{.totalMs = ActiveTransferBounds().launcherTotalMs,
                                             .progress = PostProgress,
                                             .replyLength = BuildDownloadFits(root, 0)});
        SavePendingInvite(root, invite);
        const fs::path backup = LauncherBackupPath(launcherExecutablePath);
        if (StartDetachedProcess(
                update,
                HandOffCommandLine(update, GetCurrentProcessId(), launcherExecutablePath, backup),
                CREATE_NO_WINDOW, root) != ERROR_SUCCESS) {
            TakePendingInvite(root);
            throw LauncherError("Windows could not start the launcher updater");
        }
    } catch (...) {
        // This launcher goes on to the game, with the link.
        inviteLink.Reopen();
        throw;
    }
    return true;
}

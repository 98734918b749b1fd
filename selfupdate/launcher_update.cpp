#include "selfupdate/launcher_update.h"

#include <windows.h>

#include "base/detached_process.h"
#include "base/process_values.h"
#include "base/launcher_error.h"
#include "base/worker_messages.h"
#include "build_config.h"
#include "service/digest.h"
#include "service/https_transfer.h"
#include "service/update_manifest.h"
#include "base/command_line.h"
#include "base/text.h"
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

bool CheckLauncherUpdate(const fs::path& root) {
    // Without its own path the hand-off could not name the file to replace.
    if (launcherExecutablePath.empty()) {
        throw LauncherError("The launcher could not find its own executable");
    }
    std::string text;
    HttpsGet(LauncherManifestAddress(), &text, nullptr);
    const UpdateManifest manifest = ParseUpdateManifest(text, "TESSIK-Launcher-Windows-x64.exe");
    if (manifest.version == LauncherVersion) {
        return false;
    }
    // The version becomes part of a file name in the storage root.
    const std::wstring version = SafeVersionName(manifest.version);

    PostStatus(L"Downloading launcher update...");
    const fs::path update = root / (L"launcher-update-" + version + L".exe");
    HttpsGet(manifest.url, nullptr, &update);
    if (Sha256FileHex(update) != manifest.sha256) {
        std::error_code ignored;
        fs::remove(update, ignored);
        throw LauncherError("Downloaded launcher failed its SHA-256 check");
    }

    const fs::path backup = root / (L"launcher-backup-" + Utf8ToUtf16(LauncherVersion) + L".exe");
    if (!StartDetachedProcess(
            update,
            HandOffCommandLine(update, GetCurrentProcessId(), launcherExecutablePath, backup),
            CREATE_NO_WINDOW, root)) {
        throw LauncherError("Windows could not start the launcher updater");
    }
    return true;
}

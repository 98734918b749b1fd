#include "app/update_worker.h"

#include <filesystem>

#include "app/launcher_error.h"
#include "app/worker_messages.h"
#include "build_config.h"
#include "launch/game_launch.h"
#include "launch/invite_protocol.h"
#include "selfupdate/launcher_update.h"
#include "service/https_transfer.h"
#include "service/update_manifest.h"
#include "store/launcher_state.h"
#include "store/storage.h"
#include "store/update_installation.h"

namespace fs = std::filesystem;

namespace {

// An empty recorded folder means "no build": joined with the executable's name
// it would point into the current folder, which may be anyone's Downloads.
bool HasGameExecutable(const fs::path& buildFolder) {
    std::error_code error;
    return !buildFolder.empty() && fs::exists(buildFolder / L"tessik.exe", error);
}

void StartGame(const fs::path& buildFolder) {
    RegisterInviteProtocol();
    LaunchGame(buildFolder);
    PostRunStarted();
}

}  // namespace

std::wstring GameManifestAddress() {
    const std::wstring configured = ReadEnvironmentVariable(L"TESSIK_UPDATE_MANIFEST");
    if (!configured.empty()) {
        return configured;
    }
    return std::wstring(L"https://") + DefaultUpdateHost + L"/release/windows-x86_64-manifest.json";
}

void RunUpdateWorker() {
    fs::path root;
    fs::path stateFile;
    LauncherState state;
    try {
        root = StorageRoot();
        fs::create_directories(root);
        stateFile = root / StateFileName;
        state = ReadLauncherState(stateFile);
    } catch (const std::exception& failure) {
        PostRunFailed(DescribeFailure(failure));
        return;
    }

    try {
        PostStatus(L"Checking launcher version...");
        try {
            if (CheckLauncherUpdate(root)) {
                PostStatus(L"Restarting updated launcher...");
                PostRunStarted();
                return;
            }
        } catch (...) {
            // A launcher update is best effort; the game update goes on.
        }

        PostStatus(L"Checking for updates...");
        std::string text;
        HttpsGet(GameManifestAddress(), &text, nullptr);
        const UpdateManifest manifest = ParseUpdateManifest(text, "tessik.exe");
        if (manifest.version != state.version || !HasGameExecutable(state.path)) {
            state.path = InstallUpdate(manifest, root);
            state.version = manifest.version;
            WriteLauncherState(stateFile, state);
        }
        PostStatus(L"Starting TESSIK...");
        StartGame(state.path);
    } catch (const std::exception& failure) {
        try {
            if (HasGameExecutable(state.path)) {
                PostStatus(L"Update unavailable; starting installed version...");
                StartGame(state.path);
                return;
            }
        } catch (...) {
            // The player is told about the first failure, not this one.
        }
        PostRunFailed(DescribeFailure(failure));
    }
}

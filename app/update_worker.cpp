#include "app/update_worker.h"

#include <filesystem>
#include <vector>

#include "base/launcher_error.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "build_config.h"
#include "launch/game_launch.h"
#include "launch/invite_protocol.h"
#include "selfupdate/launcher_update.h"
#include "service/https_transfer.h"
#include "store/launcher_state.h"
#include "store/manifest_sequence.h"
#include "store/storage.h"
#include "store/surplus_builds.h"
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
}

// After a failure: the recorded build (after an install, the new one), then the
// build recorded before this run, so that a new build that will not start does
// not lock the player out of the one that did. Falling back to the earlier
// build records it again. False when neither could be started.
bool StartFallbackBuild(const fs::path& stateFile, const LauncherState& state,
                        const LauncherState& previous) {
    std::vector<LauncherState> candidates{state};
    if (previous.path != state.path) {
        candidates.push_back(previous);
    }
    bool announced = false;
    for (const LauncherState& candidate : candidates) {
        try {
            if (!HasGameExecutable(candidate.path)) {
                continue;
            }
            if (!announced) {
                PostStatus(L"Update unavailable; starting installed version...");
                announced = true;
            }
            StartGame(candidate.path);
            // Recorded before the end of the run is posted: the window then
            // closes and the process may end at once.
            if (candidate.path != state.path) {
                try {
                    WriteLauncherState(stateFile, candidate);
                } catch (const std::exception&) {
                    // The game runs; the next run falls back the same way.
                }
            }
            PostRunStarted();
            return true;
        } catch (...) {
            // The player is told about the first failure, not this one.
        }
    }
    return false;
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
    const LauncherState previous = state;
    RememberedSequences seen(root / SequenceFileName);

    try {
        PostStatus(L"Checking launcher version...");
        try {
            if (CheckLauncherUpdate(root, seen)) {
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
        const UpdateManifest manifest =
            ReadRememberedManifest(text, "tessik.exe", ManifestKind::Game, seen);
        if (manifest.version != state.version || !HasGameExecutable(state.path)) {
            state.path = InstallUpdate(manifest, root);
            state.version = manifest.version;
            WriteLauncherState(stateFile, state);
        }
        // The recorded build is in place, so a count the studio lowered takes
        // effect even when nothing was installed.
        RemoveSurplusBuilds(root, manifest.keepBuilds, state.path);
        PostStatus(L"Starting TESSIK...");
        StartGame(state.path);
        PostRunStarted();
    } catch (const std::exception& failure) {
        if (!StartFallbackBuild(stateFile, state, previous)) {
            PostRunFailed(DescribeFailure(failure));
        }
    }
}

#include "app/update_worker.h"

#include <filesystem>
#include <optional>
#include <vector>

#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/process_values.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "build_config.h"
#include "launch/game_launch.h"
#include "launch/invite_protocol.h"
#include "selfupdate/launcher_update.h"
#include "service/https_transfer.h"
#include "store/installation_lock.h"
#include "store/launcher_state.h"
#include "store/manifest_sequence.h"
#include "store/partial_download.h"
#include "store/security_removals.h"
#include "store/storage.h"
#include "store/surplus_builds.h"
#include "store/update_installation.h"

namespace fs = std::filesystem;

namespace {

// An empty recorded folder means "no build": joined with the executable's name
// it would point into the current folder, which may be anyone's Downloads.
bool HasGameExecutable(const fs::path& buildFolder) {
    return !buildFolder.empty() && PathExists(buildFolder / L"tessik.exe");
}

void StartGame(const fs::path& buildFolder) {
    RegisterInviteProtocol();
    LaunchGame(buildFolder);
}

// After a failure: the recorded build (after an install, the new one), then the
// build recorded before this run, so that a new build that will not start does
// not lock the player out of the one that did. Falling back to the earlier
// build records it again, when no other launcher is installing right now.
// False when neither could be started.
bool StartFallbackBuild(InstallationLock& lock, const fs::path& stateFile,
                        const LauncherState& state, const LauncherState& previous) {
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
                    if (const auto held = lock.TryAcquire()) {
                        WriteLauncherState(stateFile, candidate);
                    }
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

// Installs the manifest's build, or installs it again when Windows security
// removed its executable: once per published build, since every further
// install would cost the download and meet the same scanner.
fs::path InstallQuarantineAware(const UpdateManifest& manifest, const fs::path& root,
                                const LauncherState& state) {
    // A build folder left without its executable (a folder the player
    // deleted is only installed again).
    if (manifest.version == state.version && !state.path.empty() && IsFolderAt(state.path)) {
        CountSecurityRemoval(root, manifest.sha256);
    }
    if (CountedSecurityRemovals(root, manifest.sha256) >= 2) {
        throw SecurityRemovalError();
    }
    try {
        return InstallUpdate(manifest, root);
    } catch (const SecurityRemovalError&) {
        CountSecurityRemoval(root, manifest.sha256);
        throw;
    }
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
    std::optional<InstallationLock> lock;
    try {
        root = StorageRoot();
        CreateFolders(root);
        stateFile = root / StateFileName;
        lock.emplace(root);
    } catch (const std::exception& failure) {
        PostRunFailed(DescribeFailure(failure));
        return;
    }
    LauncherState state;
    LauncherState previous;
    std::optional<unsigned> keepBuilds;

    try {
        PostStatus(L"Checking launcher version...");
        {
            // From the launcher's own update to the state file, one launcher
            // at a time installs here. A second one waits (showing the status
            // above) and then reads what the first recorded.
            const InstallationLock::Owner held = lock->Acquire();
            state = ReadLauncherState(stateFile);
            previous = state;
            RememberedSequences seen(root / SequenceFileName);
            try {
                if (CheckLauncherUpdate(root, seen)) {
                    // This process ends now: a link handed over after this point
                    // is refused, and its launcher starts the game itself.
                    inviteLink.TakeForStart();
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
                state.path = InstallQuarantineAware(manifest, root, state);
                state.version = manifest.version;
                WriteLauncherState(stateFile, state);
            } else {
                // Current already: no partial download of this manifest's is needed.
                SweepGamePartials(root, manifest.sha256, "");
            }
            // Read only from a well-formed manifest object: no count, no removal.
            keepBuilds = manifest.keepBuilds;
        }
        PostStatus(L"Starting TESSIK...");
        StartGame(state.path);
        // Only once the new game runs: a start that fails falls back to the
        // build recorded before, which must still be there. Under the lock
        // again, so no other launcher sees a build half-removed; when another
        // holds it, a later run removes what this one leaves. A count the
        // studio lowered takes effect even when nothing was installed.
        std::vector<fs::path> movedAside;
        if (keepBuilds) {
            if (const auto held = lock->TryAcquire()) {
                movedAside = MoveSurplusBuildsAside(root, keepBuilds, {state.path, previous.path});
            }
        }
        // Nobody waits for the file system to free the bytes.
        RemoveMovedBuilds(movedAside);
        PostRunStarted();
    } catch (const std::exception& failure) {
        if (!StartFallbackBuild(*lock, stateFile, state, previous)) {
            PostRunFailed(DescribeFailure(failure));
        }
    }
}

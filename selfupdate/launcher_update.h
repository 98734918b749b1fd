#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "store/manifest_sequence.h"

// The launcher manifest's address: TESSIK_LAUNCHER_UPDATE_MANIFEST, or the
// default on the update host.
std::wstring LauncherManifestAddress();

// The command line that starts the downloaded copy in finishing mode. Split by
// the system's rules it gives six words: update, the mode word, the process
// id, update again, the launcher to replace, and the backup path.
std::wstring HandOffCommandLine(const std::filesystem::path& update, std::uint32_t processId,
                                const std::filesystem::path& launcher,
                                const std::filesystem::path& backup);

// Where the hand-off moves the running executable aside: beside it, as
// "launcher-backup-<this version>.exe", because a running executable can be
// renamed only within its own volume.
std::filesystem::path LauncherBackupPath(const std::filesystem::path& launcher);

// True when the launcher's executable may be renamed (opened for deletion)
// and a file can be made and renamed in its folder, as the hand-off must do
// (false for a read-only folder or volume, or another user's executable).
// Leaves no file behind.
bool CanReplaceLauncherExecutable(const std::filesystem::path& launcher);

// When the launcher manifest names another version than this build's, downloads
// and verifies it into the storage root and starts it in finishing mode: true,
// and this launcher must close. False when the versions are equal. Fails
// before downloading when the launcher cannot replace its own executable.
// A launcher built with a release key checks the manifest against `seen`.
bool CheckLauncherUpdate(const std::filesystem::path& root, RememberedSequences& seen);

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A studio may set how many stored builds a player keeps; the launcher then
// moves the older ones out of "versions" before the game starts and
// removes them after.

// --- The choice (no Windows calls) ---

struct StoredBuild {
    std::wstring name;            // the folder's name under "versions"
    std::uint64_t created = 0;    // the folder's creation time; later is larger
    bool protectedBuild = false;  // the recorded build: never removed
};

// The builds beyond the newest `keep`, in the launcher's version order with
// ties broken by creation time, newest first. A protected build is never
// among them, wherever it stands.
std::vector<std::wstring> SurplusBuilds(std::vector<StoredBuild> builds, unsigned keep);

// --- The removal ---

// Moves the stored builds beyond the newest `keep` (nothing when empty),
// never `recorded`, out of "versions" under staging folders' names. NTFS
// refuses the rename while a game runs from a build: such a build is skipped
// without a word, and a later run tries again. One attempt each, no waiting.
// Returns the folders moved, for RemoveMovedBuilds. Never fails.
std::vector<std::filesystem::path> MoveSurplusBuildsAside(
    const std::filesystem::path& root, std::optional<unsigned> keep,
    const std::filesystem::path& recorded) noexcept;

// Removes what MoveSurplusBuildsAside moved. Freeing a build's bytes takes
// the file system about a second per GiB, so this runs once the game has
// started; whatever cannot go at once is swept by a later installation.
void RemoveMovedBuilds(const std::vector<std::filesystem::path>& moved) noexcept;

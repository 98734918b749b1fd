#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A studio may set how many stored builds a player keeps; once the new game
// has started, the launcher moves the older ones out of "versions" and
// removes them.

// --- The choice (no Windows calls) ---

struct StoredBuild {
    std::wstring name;            // the folder's name under "versions"
    std::uint64_t created = 0;    // the folder's creation time; later is larger
    bool protectedBuild = false;  // the recorded build or the fallback's: never removed
};

// The builds beyond the newest `keep`, in the launcher's version order with
// ties broken by creation time, newest first. A protected build is never
// among them, wherever it stands.
std::vector<std::wstring> SurplusBuilds(std::vector<StoredBuild> builds, unsigned keep);

// --- The removal ---

// Moves the stored builds beyond the newest `keep` (nothing when empty) out
// of "versions" under staging folders' names; the caller has started the new
// game and holds the installation lock. Never one of `kept` (the recorded
// build and the fallback's), known by the folder's name under "versions",
// whatever spelling of its path the state file holds; never one a process
// still runs from: one of its top-level images (.exe, .dll) cannot be opened
// for writing then, on Windows as under Wine, even when NTFS would let the
// folder be renamed (the process's current folder elsewhere). Such a build,
// and one whose rename is refused (a file inside is open), is skipped without
// a word, and a later run tries again. One attempt each, no waiting. Returns
// the folders moved, for RemoveMovedBuilds. Never fails.
std::vector<std::filesystem::path> MoveSurplusBuildsAside(
    const std::filesystem::path& root, std::optional<unsigned> keep,
    const std::vector<std::filesystem::path>& kept) noexcept;

// Removes what MoveSurplusBuildsAside moved. Freeing a build's bytes takes
// the file system about a second per GiB, so this runs once the game has
// started; whatever cannot go at once is swept by a later installation.
void RemoveMovedBuilds(const std::vector<std::filesystem::path>& moved) noexcept;

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A studio may set how many stored builds a player keeps; the launcher then
// removes the older ones before the game starts.

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

// Removes the stored builds beyond the newest `keep` (nothing when empty),
// never `recorded`. Each is first renamed out of "versions" under a staging
// folder's name, which NTFS refuses while a game runs from it: such a build
// is skipped without a word, and a later run tries again. One attempt each,
// no waiting; whatever cannot be removed at once is swept by a later
// installation. Never fails.
void RemoveSurplusBuilds(const std::filesystem::path& root, std::optional<unsigned> keep,
                         const std::filesystem::path& recorded) noexcept;

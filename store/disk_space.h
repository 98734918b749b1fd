#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

// A download is started only when the disk can hold it: a launcher that fills
// the player's disk to its last byte breaks other programs and Windows itself.

inline constexpr char NotEnoughSpaceSentence[] =
    "There is not enough free disk space for the update";

// --- The sums (no Windows calls) ---

// What a download of a build still needs on disk: the bytes still to come,
// and the unpacked build (its index's sizes, or else at least the archive's
// whole length). Never overflows.
std::uint64_t DownloadNeeds(std::uint64_t remaining, std::uint64_t archiveLength,
                            std::optional<std::uint64_t> unpacked);

// --- The volume ---

// The bytes free to this user on the volume that holds `root` (quotas
// included); nullopt when Windows cannot tell.
std::optional<std::uint64_t> FreeBytesForCaller(const std::filesystem::path& root);

// Fails with DiskSpaceError and NotEnoughSpaceSentence when more than the free
// bytes are needed. A volume that cannot tell its free bytes is not refused.
void RequireFreeSpace(const std::filesystem::path& root, std::uint64_t needed);

// A DownloadOptions::replyLength check for a build's archive or patch, which
// will unpack to `unpacked` bytes when known.
std::function<void(std::uint64_t, std::uint64_t)> BuildDownloadFits(
    const std::filesystem::path& root, std::optional<std::uint64_t> unpacked);

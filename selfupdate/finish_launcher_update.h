#pragma once

#include <cstdint>
#include <filesystem>

// The hand-off copy's whole run: waits for the old launcher, replaces it with
// `source` (keeping it as `backup`) and restarts it. Returns the exit code.
int FinishLauncherUpdate(std::uint32_t processId, const std::filesystem::path& source,
                         const std::filesystem::path& target, const std::filesystem::path& backup);

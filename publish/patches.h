#pragma once

#include <filesystem>
#include <vector>

#include "store/build_index.h"

// Writes to `patch` a zip holding only `files`, taken from the game archive
// `build` (their data copied as they are stored there). An empty list makes
// an empty zip.
void WritePatch(const std::filesystem::path& build, const std::vector<IndexFile>& files,
                const std::filesystem::path& patch);

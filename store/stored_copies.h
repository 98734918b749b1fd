#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "format/build_index.h"

// Copies of files that stored builds already hold, into a build being
// assembled. Stored builds are only read.

// The folder names of the stored builds other than `target`.
std::vector<std::wstring> StoredBuildNames(const std::filesystem::path& root,
                                           const std::filesystem::path& target);

// The stored builds to copy from: `first` (the patch's source, or else the
// recorded build), then every other.
std::vector<std::filesystem::path> StoredBuilds(const std::filesystem::path& root,
                                                const std::string& first,
                                                const std::vector<std::wstring>& names);

// Copies each file that a stored build holds under its path with its digest,
// hashing the bytes on their way: copied, never moved or linked, so every
// stored build stays as it is, and a stored file changed since its install
// fails its digest and is not taken. Which files were copied.
std::vector<bool> CopyStoredFiles(const std::vector<IndexFile>& files,
                                  const std::vector<std::filesystem::path>& stored,
                                  const std::filesystem::path& unpacked);

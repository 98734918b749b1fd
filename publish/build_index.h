#pragma once

#include <filesystem>
#include <string>

#include "publish/publish.h"
#include "store/build_index.h"

// The index of a game archive: every file's path, size and SHA-256 read from
// its data, and each folder that holds nothing. Refuses an archive whose
// paths the launcher could not create as published.
BuildIndex IndexOfArchive(const std::filesystem::path& archive);

// Writes the build's patches from the `patchCount` newest earlier builds in
// "builds/" and then its index beside the build, each under its digest name.
// Returns the index's SHA-256, for the manifest; empty when the build cannot
// have one (its paths are not what Windows would create), so none is written.
std::string PublishIndexAndPatches(const std::filesystem::path& folder, const std::string& version,
                                   const std::filesystem::path& archive, int patchCount,
                                   const Options& options, Report::Section& section);

// The index a manifest names and the patches it lists, each checked against
// its digest; false in `ok` when one is missing or does not match.
void ReportIndexAndPatches(const std::filesystem::path& folder, const std::string& indexSha256,
                           Report::Section& section, bool& ok);

// The indexes of builds that are gone, and the patches they list.
void PruneIndexesAndPatches(const std::filesystem::path& folder, const Options& options,
                            Report::Section& section);

// The digest of the index that describes the build with this archive digest,
// or empty when "builds/" holds none.
std::string IndexOfBuild(const std::filesystem::path& folder, const std::string& buildSha256);

#pragma once

#include <filesystem>
#include <string>

#include "publish/publish.h"
#include "format/build_index.h"
#include "format/zip_directory.h"

// The index of a game archive: every file's path, size and SHA-256 read from
// its data, and each folder that holds nothing. Refuses an archive whose
// paths the launcher could not create as published.
BuildIndex IndexOfArchive(const std::filesystem::path& archive);
// The same from the archive's directory, already read.
BuildIndex IndexOfArchive(const std::filesystem::path& archive,
                          const std::vector<ZipEntry>& entries);

// Writes the build's patches, then its index beside the build, each under its
// digest name. Patches come from the live build `liveBuild` (its file name)
// first, then from the newest other earlier builds in "builds/", up to
// options.patchCount; one larger than options.patchLimit percent of the
// archive is skipped, and said so. Each patch is sized before any is
// written, written once in ".incoming/" and renamed into place; a dry run
// digests the same bytes without writing them, so it names what the run
// writes. Returns the index's SHA-256, for the manifest; empty when the build
// cannot have one (its paths are not what Windows would create), so none is
// written.
std::string PublishIndexAndPatches(const std::filesystem::path& folder, const std::string& version,
                                   const std::filesystem::path& archive,
                                   const std::string& liveBuild, const Options& options,
                                   Report::Section& section);

#pragma once

#include <filesystem>
#include <vector>

#include "publish/patches.h"
#include "format/build_index.h"
#include "format/zip_directory.h"

// The earlier build a patch leads from: its archive and its files.
struct EarlierBuild {
    std::filesystem::path archive;
    BuildIndex index;
};

// Decides how the patch from `earlier` carries `files` (the new or changed
// files of the build `build`, whose zip records are `entries` and whose index
// is `index`): a table of every block of every earlier file, streamed from its
// zip, then each file matched against it and written as a delta when that
// is smaller than the file as the build stores it, whole otherwise. Deflated
// earlier files are unpacked for reading at offsets into temporary files
// under `scratch`, removed before this returns. A build or an earlier build
// with a path element of the patch's own folder name gets whole files only.
// Memory: the table (DeltaTableBytes) and a few MiB.
PatchContent PlanPatch(const std::filesystem::path& build, const std::vector<ZipEntry>& entries,
                       const BuildIndex& index, const std::vector<IndexFile>& files,
                       const EarlierBuild& earlier, const std::filesystem::path& scratch);

#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "publish/manifest_json.h"
#include "format/build_index.h"

// The one list of what a release needs in "builds/". status, status --url,
// upload-order, prune and the sweep of orphans all read it, so that they
// cannot disagree on what a manifest depends on.

// One file of "builds/" a manifest depends on.
struct ReleasePart {
    enum Role { Build, Patch, Index } role = Build;
    std::string name;         // its file name in "builds/"
    std::string sha256;       // what its bytes digest to
    std::string fromVersion;  // a patch's earlier build
    bool delta = false;       // a patch of block-level operations
};

// What a manifest depends on: its build, and when it names an index, the
// patches that index lists, then the index. `readIndex` gives the text of
// the index file of that name (nullopt: there is none), read from the folder
// or fetched from the host.
struct ManifestParts {
    std::vector<ReleasePart> parts;
    std::string indexFault;  // why the index's patches are unknown; empty: read whole
    size_t indexFiles = 0;   // files the index lists
};
using IndexReader = std::function<std::optional<std::string>(const std::string& name)>;
ManifestParts PartsOf(const ManifestFields& manifest, const IndexReader& readIndex);

// The file name in "builds/" that a manifest's address names (empty: none).
std::string NamedBuildName(const ManifestFields& manifest);

// The builds in "builds/" that were left by a publish that did not finish:
// neither the record of published builds (publish/published_builds.h) nor a
// live manifest names them. None while there is no record yet, or while the
// record or a manifest cannot be read (it might name any build).
std::set<std::string> LeftoverBuilds(const std::filesystem::path& folder);

// Every file in "builds/": what stays (each published build there but those
// in `leaving`, the index of each game build that stays and the patches it
// lists, and every part of each live manifest), the builds of publishes that
// did not finish (LeftoverBuilds), the index and patch files outside that set
// (orphans, left by killed or failed runs and by removed builds, leftovers
// included), and the files of names the tool never writes (reported only).
// Raises a sentence naming the manifest when one cannot be read: it may
// name any file, so none is an orphan until both are known.
struct FolderFiles {
    std::vector<ReleasePart> kept;  // builds by name, then patches, then indexes
    std::vector<std::string> leftovers;
    std::vector<std::string> orphans;
    std::vector<std::string> unknown;
};
FolderFiles ReadFolderFiles(const std::filesystem::path& folder,
                            const std::set<std::string>& leaving = {});

// Removes the orphans (never a file of an unknown name, nor a leftover
// build); with `dryRun` only names them. Returns their names.
std::vector<std::string> RemoveOrphans(const std::filesystem::path& folder,
                                       const FolderFiles& files, bool dryRun);

// The index files in "builds/" that can be read, by file.
std::vector<std::pair<std::filesystem::path, BuildIndex>> IndexesIn(
    const std::filesystem::path& folder);

// The digest of the newest index that describes the build with this archive
// digest, or empty when "builds/" holds none.
std::string IndexOfBuild(const std::filesystem::path& folder, const std::string& buildSha256);

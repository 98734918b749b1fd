#include <algorithm>
#include <set>
#include <stdexcept>

#include "publish/manifest_writing.h"
#include "publish/publish.h"
#include "publish/release_files.h"

namespace fs = std::filesystem;

Report Prune(const fs::path& folder, int keep, const Options& options) {
    if (!fs::is_directory(folder)) {
        throw std::runtime_error("The release folder " + folder.string() + " does not exist");
    }
    // Both manifests first: one that cannot be read may name any build, so
    // nothing is removed until both are known.
    std::set<std::string> named;
    try {
        ReadFolderFiles(folder);
        for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
            if (auto live = ReadManifestFile(folder / kind->manifestPath)) {
                named.insert(NamedBuildName(*live));
            }
        }
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string(error.what()) + "; nothing is pruned");
    }
    Report report;
    std::set<std::string> leaving;
    std::vector<fs::path> removed;
    // Builds of publishes that did not finish go under the lock before any
    // prune, and count for no --keep.
    const std::set<std::string> leftovers = LeftoverBuilds(folder);
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        Report::Section section{kind->name, {}};
        std::vector<std::pair<fs::file_time_type, BuildFile>> rest;
        for (const BuildFile& build : BuildsOf(*kind, folder)) {
            if (leftovers.count(build.name) != 0) continue;
            if (named.count(build.name) != 0) {
                section.fields.push_back({"live", build.name});
            } else {
                rest.push_back({fs::last_write_time(build.file), build});
            }
        }
        std::sort(rest.begin(), rest.end(),
                  [](const auto& a, const auto& b) { return a.first > b.first; });
        for (size_t i = 0; i < rest.size(); ++i) {
            const bool kept = i < static_cast<size_t>(keep);
            section.fields.push_back({kept ? "kept" : "removed", rest[i].second.name});
            if (kept) continue;
            leaving.insert(rest[i].second.name);
            removed.push_back(rest[i].second.file);
        }
        report.sections.push_back(section);
    }
    // Then every index and patch that no remaining build needs, by the list
    // every command reads; the game's, since only game builds have them.
    const FolderFiles after = ReadFolderFiles(folder, leaving);
    if (!options.dryRun) {
        for (const fs::path& file : removed) fs::remove(file);
    }
    for (const std::string& name : RemoveOrphans(folder, after, options.dryRun)) {
        report.sections.front().fields.push_back({"removed", name});
    }
    return report;
}

#include <stdexcept>

#include "publish/publish.h"
#include "publish/published_builds.h"
#include "publish/release_files.h"
#include "publish/release_lock.h"

namespace fs = std::filesystem;

namespace {

constexpr char Immutable[] = "; Cache-Control: public, max-age=31536000, immutable";

std::string TypeOf(const ReleasePart& part) {
    if (part.role == ReleasePart::Index) return "text/plain";
    if (part.role == ReleasePart::Patch) return "application/zip";
    return ParseBuildFileName(LauncherKind(), part.name) ? "application/octet-stream"
                                                         : "application/zip";
}

}  // namespace

Report UploadOrder(const fs::path& folder) {
    if (!fs::is_directory(folder)) {
        throw std::runtime_error("The release folder " + folder.string() + " does not exist");
    }
    // Builds, patches and indexes before the manifests that name them,
    // removals after, so a CDN never serves a manifest whose files are not
    // there yet. The list is the one status and prune read.
    const FolderFiles files = ReadFolderFiles(folder);
    Report report;
    Report::Section builds{"1. the builds, their patches and indexes", {}},
        manifests{"2. the manifests", {}};
    for (const ReleasePart& part : files.kept) {
        builds.fields.push_back(
            {"builds/" + part.name, "Content-Type: " + TypeOf(part) + Immutable});
    }
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        if (fs::exists(folder / kind->manifestPath)) {
            manifests.fields.push_back(
                {kind->manifestPath, "Content-Type: application/json; Cache-Control: no-cache"});
        }
    }
    Report::Section then{"3. then",
                         {{"remove", "what the host holds that this folder no longer does"},
                          {"never", std::string(".incoming/, ") + ReleaseLockFile + " and " +
                                        PublishedBuildsFile + " (they never leave this machine)"}}};
    for (const auto* names : {&files.leftovers, &files.orphans, &files.unknown}) {
        for (const std::string& name : *names) {
            then.fields.push_back({"not uploaded", "builds/" + name});
        }
    }
    report.sections = {builds, manifests, then};
    if (ReleaseLockIsHeld(folder)) {
        report.warnings.push_back("a run is writing into " + folder.string() +
                                  "; upload when it has finished");
    }
    return report;
}

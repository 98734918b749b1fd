#include <cstdio>
#include <optional>
#include <stdexcept>
#include <unistd.h>

#include "publish/build_folder.h"
#include "publish/build_index.h"
#include "publish/manifest_signing.h"
#include "publish/manifest_writing.h"
#include "publish/publish.h"
#include "publish/published_builds.h"
#include "publish/release_checks.h"
#include "publish/release_files.h"

namespace fs = std::filesystem;

namespace {

// A dry run's zip of a build folder: in the system's temporary folder, since
// a dry run writes nothing into the release folder; removed when done.
struct TemporaryZip {
    fs::path path;
    explicit TemporaryZip(const fs::path& tree)
        : path(fs::temp_directory_path() /
               ("tessik-publish-" + std::to_string(::getpid()) + ".zip")) {
        std::FILE* file = std::fopen(path.c_str(), "wbx");
        if (file == nullptr) throw std::runtime_error("Cannot write " + path.string());
        try {
            WriteBuildFolder(tree, [&](const char* data, size_t size) {
                if (std::fwrite(data, 1, size, file) != size) {
                    throw std::runtime_error("Cannot write " + path.string());
                }
            });
        } catch (...) {
            std::fclose(file);
            std::remove(path.c_str());
            throw;
        }
        if (std::fclose(file) != 0) {
            std::remove(path.c_str());
            throw std::runtime_error("Cannot write " + path.string());
        }
    }
    ~TemporaryZip() { std::remove(path.c_str()); }
    TemporaryZip(const TemporaryZip&) = delete;
    TemporaryZip& operator=(const TemporaryZip&) = delete;
};

}  // namespace

std::string LauncherVersionOf(const fs::path& executable) {
    return ReadLauncherFacts(executable).version;
}

Report PublishBuild(const ReleaseKind& kind, const fs::path& source, std::string version,
                    const std::string& baseUrl, const fs::path& folder, const Options& options) {
    const bool launcher = &kind == &LauncherKind();
    if (!launcher) RequireSafeVersion(version);
    const BaseUrl base = ParseBaseUrl(baseUrl);
    Report report;
    std::optional<ManifestFields> live;
    try {
        live = ReadManifestFile(folder / kind.manifestPath);
    } catch (const std::exception& error) {
        report.warnings.push_back("the live manifest cannot be read (" + std::string(error.what()) +
                                  "); it is replaced");
    }
    report.sections.push_back({kind.name, {}});
    Report::Section& section = report.sections.back();

    // One read of the source: copied and digested together. Everything
    // after looks only at this private copy, so a file that changes while
    // it is published cannot get a digest that is not its own.
    // A build folder is written as a zip first, and read only that once.
    std::optional<IncomingFile> copy;
    std::optional<TemporaryZip> dryZip;
    std::string sha256;
    uint64_t size = 0;
    fs::path subject = source;
    std::error_code error;
    const bool tree = !launcher && fs::is_directory(source, error);
    if (options.dryRun && tree) {
        dryZip.emplace(source);
        subject = dryZip->path;
    }
    if (options.dryRun) {
        sha256 = Sha256OfFile(subject);
        size = fs::file_size(subject);
    } else {
        // A source that cannot be read is refused by the copy, with its own sentence.
        const uintmax_t sourceSize = tree ? 0 : fs::file_size(source, error);
        if (!error) RequireFreeSpace(folder, sourceSize);
        if (tree) {
            copy.emplace(folder, [&source](const BytesOut& out) { WriteBuildFolder(source, out); });
        } else {
            copy.emplace(folder, source);
        }
        sha256 = copy->sha256();
        size = copy->size();
        subject = copy->path();
    }
    std::optional<LauncherFacts> facts;
    GameArchiveFacts game;
    if (launcher) {
        facts = ReadLauncherFacts(subject);
        version = facts->version;
        RequireSafeVersion(version);
        CheckLauncherHost(*facts, base, options, report);
        CheckLauncherKey(*facts, options, report);
    } else {
        game = CheckGame(subject, report);
    }
    CheckNotOlder(kind, live, version, options, report);
    CheckVersionIsNew(kind, folder, live, version, sha256, options, report);
    CheckStaysSigned(live, options, report);

    const std::string name = BuildFileName(kind, version, sha256);
    const fs::path file = folder / "builds" / name;
    ManifestFields manifest = BuildManifest(version, BuildUrl(base, name), sha256, kind.executable);
    section.fields = {{"version", version},
                      {"sha256", sha256},
                      {"size", std::to_string(size), std::to_string(size)},
                      {"url", manifest.url},
                      {"file", file.string()}};
    ReportSignature(facts, game, section, report);
    if (!launcher) {
        // A key that cannot sign must stop the publish before the index and
        // patches are written, as it does before the build.
        if (!options.signingKey.empty()) SignManifestText("", options.signingKey);
        const std::string liveBuild = live ? NamedBuildName(*live) : "";
        manifest.buildIndex =
            PublishIndexAndPatches(folder, version, subject, liveBuild, options, section);
    }
    const std::string text = ManifestText(kind, folder, manifest, options, section);
    // Every build already there counts as published before this one arrives
    // unnamed (a folder published into before the record was kept).
    if (!options.dryRun) StartPublishedBuilds(folder, report.warnings);
    // A file already under this name is used only when it holds these bytes.
    if (fs::exists(file) && Sha256OfFile(file) != sha256) {
        report.warnings.push_back(file.string() +
                                  " did not hold the bytes its name promises; it is replaced");
        if (!options.dryRun) copy->MoveTo(file);
    } else if (!fs::exists(file) && !options.dryRun) {
        copy->MoveTo(file);
    }
    WriteManifest(kind, folder, manifest, text, options);
    return report;
}

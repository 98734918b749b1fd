#include <optional>
#include <stdexcept>

#include "publish/manifest_writing.h"
#include "publish/publish.h"
#include "publish/release_checks.h"
#include "publish/release_files.h"

namespace fs = std::filesystem;

Report Promote(const ReleaseKind& kind, const fs::path& folder, const std::string& version,
               const std::string& baseUrl, const Options& options) {
    RequireSafeVersion(version);
    const std::optional<ManifestFields> live = ReadManifestFile(folder / kind.manifestPath);
    std::string url = baseUrl;
    if (url.empty() && live && live->url.rfind("/builds/") != std::string::npos) {
        url = live->url.substr(0, live->url.rfind("/builds/"));
    }
    if (url.empty()) throw std::runtime_error("No manifest is live yet; give --base-url");
    const BaseUrl base = ParseBaseUrl(url);
    std::vector<BuildFile> builds;
    for (const BuildFile& build : BuildsOf(kind, folder)) {
        if (build.version == version) builds.push_back(build);
    }
    if (builds.empty()) {
        throw std::runtime_error("No " + std::string(kind.name) + " build of version " + version +
                                 " is in " + (folder / "builds").string());
    }
    if (builds.size() > 1) {
        throw std::runtime_error(std::to_string(builds.size()) + " builds of version " + version +
                                 " are in " + (folder / "builds").string() +
                                 "; remove the wrong one first");
    }
    const BuildFile& build = builds.front();
    if (Sha256OfFile(build.file) != build.sha256) {
        throw std::runtime_error(build.file.string() +
                                 " does not hold the bytes its name promises");
    }
    Report report;
    report.sections.push_back({kind.name, {}});
    Report::Section& section = report.sections.back();
    std::optional<LauncherFacts> facts;
    GameArchiveFacts game;
    if (&kind == &LauncherKind()) {
        facts = ReadLauncherFacts(build.file);
        if (facts->version != version) {
            throw std::runtime_error(build.file.string() + " holds the launcher " + facts->version +
                                     ", not " + version);
        }
        CheckLauncherHost(*facts, base, options, report);
        CheckLauncherKey(*facts, options, report);
    } else {
        game = CheckGame(build.file, report);
    }
    CheckStaysSigned(live, options, report);
    ManifestFields manifest =
        BuildManifest(version, BuildUrl(base, build.name), build.sha256, kind.executable);
    if (&kind == &GameKind()) manifest.buildIndex = IndexOfBuild(folder, build.sha256);
    section.fields = {{"version", version},
                      {"sha256", build.sha256},
                      {"size", std::to_string(fs::file_size(build.file)),
                       std::to_string(fs::file_size(build.file))},
                      {"url", manifest.url},
                      {"file", build.file.string()}};
    ReportSignature(facts, game, section, report);
    if (live) section.fields.push_back({"was", live->version});
    WriteManifest(kind, folder, manifest, ManifestText(kind, folder, manifest, options, section),
                  options);
    return report;
}

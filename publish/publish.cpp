#include "publish/publish.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>

#include "base/text.h"
#include "publish/base_url.h"
#include "publish/build_index.h"
#include "publish/game_archive.h"
#include "publish/manifest_json.h"
#include "publish/manifest_signing.h"
#include "publish/pe_version.h"
#include "store/version_name.h"

namespace fs = std::filesystem;

namespace {

constexpr char LauncherFileName[] = "TESSIK-Launcher-Windows-x64.exe";

std::string ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("Cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RequireSafeVersion(const std::string& version) {
    try {
        if (IsSafeVersionName(Utf8ToUtf16(version))) return;
    } catch (const std::exception&) {
    }
    throw std::runtime_error("The version \"" + version +
                             "\" cannot name a build folder; use dotted numbers such as 1.0.2");
}

struct LauncherFacts {
    std::string version;
    std::string updateHost;
    bool signedImage = false;
};

LauncherFacts ReadLauncherFacts(const fs::path& executable) {
    const ExecutableFacts facts = ReadExecutableFacts(ReadWhole(executable));
    if (!facts.pe32Plus || !facts.guiSubsystem) {
        throw std::runtime_error("The file is not a 64-bit Windows GUI executable");
    }
    const auto text = [&facts](const char* key) {
        const auto found = facts.versionStrings.find(key);
        return found == facts.versionStrings.end() ? std::string() : found->second;
    };
    if (text("OriginalFilename") != LauncherFileName) {
        throw std::runtime_error(std::string("The executable's original file name is not ") +
                                 LauncherFileName);
    }
    if (text("FileVersion").empty()) throw std::runtime_error("The executable has no version text");
    return {text("FileVersion"), text("UpdateHost"), facts.authenticodeSigned};
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A refusal that --force turns into a warning.
void RefuseUnlessForced(const Options& options, Report& report, const std::string& refusal,
                        const std::string& warning) {
    if (!options.force) throw std::runtime_error(refusal + "; use --force to publish it anyway");
    report.warnings.push_back(warning);
}

// The launcher reads its manifests from the host built into it, so a release
// served from any other host never reaches it.
void CheckLauncherHost(const LauncherFacts& facts, const BaseUrl& base, const Options& options,
                       Report& report) {
    if (facts.updateHost.empty()) {
        RefuseUnlessForced(
            options, report, "The launcher does not record the update host it was built for",
            "the launcher does not record its update host; make sure it is " + base.host);
        return;
    }
    const std::string built = Lower(facts.updateHost);
    const size_t colon = built.find(':');
    const bool same = built.substr(0, colon) == base.host &&
                      (colon == std::string::npos || built.substr(colon + 1) == base.port);
    if (same) return;
    RefuseUnlessForced(
        options, report,
        "The launcher was built for the update host " + facts.updateHost +
            ", but the base URL is on " + base.host +
            "; its players would never read this release (build it with -DTESSIK_UPDATE_HOST=" +
            base.host + ")",
        "the launcher was built for " + facts.updateHost + ", not " + base.host +
            ": launchers of this build read their manifests from " + facts.updateHost);
}

void ReportSignature(const LauncherFacts& facts, Report::Section& section, Report& report) {
    section.fields.push_back({"signed", facts.signedImage ? "yes (Authenticode)" : "no"});
    if (!facts.signedImage) {
        report.warnings.push_back(
            "the launcher carries no Authenticode signature; sign it (osslsigncode) before "
            "publishing, since signing changes its digest");
    }
}

// The build a manifest names, when its address points into "builds/".
std::optional<fs::path> NamedBuild(const fs::path& folder, const ManifestFields& manifest) {
    const size_t at = manifest.url.rfind("/builds/");
    if (at == std::string::npos) return std::nullopt;
    const std::string name = PercentDecode(manifest.url.substr(at + 8));
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        return std::nullopt;
    }
    return folder / "builds" / name;
}

std::string BuildUrl(const BaseUrl& base, const std::string& name) {
    return base.text + "/builds/" + PercentEncode(name);
}

// The manifest last, so no launcher reads one whose build is not there yet.
void WriteManifest(const ReleaseKind& kind, const fs::path& folder, ManifestFields fields,
                   const Options& options, Report::Section& section) {
    // Signed before anything is written, so a key that cannot sign writes nothing.
    fields.signature.clear();
    if (!options.signingKey.empty()) {
        fields.signature = SignManifestText(
            ManifestSigningText(fields.version, fields.url, fields.sha256, fields.executable),
            options.signingKey);
    }
    section.fields.push_back(
        {"signature", fields.signature.empty() ? "none" : "made with the signing key"});
    const std::string text = ManifestJson(fields);
    section.fields.push_back({"manifest", (folder / kind.manifestPath).string()});
    if (options.dryRun) return;
    IncomingFile manifest(folder, text);
    manifest.MoveTo(folder / kind.manifestPath);
}

// Another build of this version: players who have it never fetch new bytes.
void CheckVersionIsNew(const ReleaseKind& kind, const fs::path& folder,
                       const std::optional<ManifestFields>& live, const std::string& version,
                       const std::string& sha256, const Options& options, Report& report) {
    std::string other;
    for (const BuildFile& build : BuildsOf(kind, folder)) {
        if (build.version == version && build.sha256 != sha256) other = build.sha256;
    }
    if (live && live->version == version && live->sha256 != sha256) other = live->sha256;
    if (other.empty()) return;
    RefuseUnlessForced(options, report,
                       "Version " + version + " is already published with other bytes (sha256 " +
                           other + "); players who installed it would never get these",
                       "version " + version +
                           " was already published with other bytes: players who installed it "
                           "keep the old build and never download this one");
}

void CheckNotOlder(const std::optional<ManifestFields>& live, const std::string& version,
                   const Options& options, Report& report) {
    if (!live || CompareVersions(version, live->version) >= 0) return;
    RefuseUnlessForced(options, report,
                       "The launcher " + version + " is older than the published " + live->version +
                           "; every launcher would go back to it",
                       "the launcher " + version + " is older than the published " + live->version +
                           ": every launcher goes back to it");
}

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
    std::optional<IncomingFile> copy;
    std::string sha256;
    uint64_t size = 0;
    fs::path subject = source;
    if (options.dryRun) {
        sha256 = Sha256OfFile(source);
        size = fs::file_size(source);
    } else {
        copy.emplace(folder, source);
        sha256 = copy->sha256();
        size = copy->size();
        subject = copy->path();
    }
    std::optional<LauncherFacts> facts;
    if (launcher) {
        facts = ReadLauncherFacts(subject);
        version = facts->version;
        RequireSafeVersion(version);
        CheckLauncherHost(*facts, base, options, report);
        CheckNotOlder(live, version, options, report);
    } else {
        CheckGameArchive(subject);
    }
    CheckVersionIsNew(kind, folder, live, version, sha256, options, report);

    const std::string name = BuildFileName(kind, version, sha256);
    const fs::path file = folder / "builds" / name;
    ManifestFields manifest{version, BuildUrl(base, name), sha256, kind.executable, "", ""};
    section.fields = {{"version", version},
                      {"sha256", sha256},
                      {"size", std::to_string(size)},
                      {"url", manifest.url},
                      {"file", file.string()}};
    if (facts) ReportSignature(*facts, section, report);
    if (!launcher) {
        manifest.buildIndex =
            PublishIndexAndPatches(folder, version, subject, options.patchCount, options, section);
    }
    // A file already under this name is used only when it holds these bytes.
    if (fs::exists(file) && Sha256OfFile(file) != sha256) {
        report.warnings.push_back(file.string() +
                                  " did not hold the bytes its name promises; it is replaced");
        if (!options.dryRun) copy->MoveTo(file);
    } else if (!fs::exists(file) && !options.dryRun) {
        copy->MoveTo(file);
    }
    WriteManifest(kind, folder, manifest, options, section);
    return report;
}

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
    if (&kind == &LauncherKind()) {
        facts = ReadLauncherFacts(build.file);
        if (facts->version != version) {
            throw std::runtime_error(build.file.string() + " holds the launcher " + facts->version +
                                     ", not " + version);
        }
        CheckLauncherHost(*facts, base, options, report);
    } else {
        CheckGameArchive(build.file);
    }
    ManifestFields manifest{version, BuildUrl(base, build.name), build.sha256, kind.executable, "",
                            ""};
    if (&kind == &GameKind()) manifest.buildIndex = IndexOfBuild(folder, build.sha256);
    section.fields = {{"version", version},
                      {"sha256", build.sha256},
                      {"size", std::to_string(fs::file_size(build.file))},
                      {"url", manifest.url},
                      {"file", build.file.string()}};
    if (facts) ReportSignature(*facts, section, report);
    if (live) section.fields.push_back({"was", live->version});
    WriteManifest(kind, folder, manifest, options, section);
    return report;
}

namespace {

// One manifest's part of the status: what is live and whether it is whole.
Report::Section StatusOf(const ReleaseKind& kind, const fs::path& folder, const fs::path& publicKey,
                         bool& ok) {
    Report::Section section{kind.name, {}};
    std::optional<ManifestFields> live;
    try {
        live = ReadManifestFile(folder / kind.manifestPath);
    } catch (const std::exception& error) {
        section.fields.push_back({"state", std::string("manifest unreadable: ") + error.what()});
        ok = false;
        return section;
    }
    if (!live) {
        section.fields.push_back({"state", "not published"});
        return section;
    }
    section.fields = {{"version", live->version}, {"sha256", live->sha256}, {"url", live->url}};
    const std::optional<fs::path> build = NamedBuild(folder, *live);
    std::string state;
    if (!build || !fs::is_regular_file(*build)) {
        state = "build missing";
    } else {
        section.fields.push_back({"size", std::to_string(fs::file_size(*build))});
        section.fields.push_back({"file", build->string()});
        state = Sha256OfFile(*build) == live->sha256 ? "ok" : "build does not match its digest";
    }
    if (live->executable != kind.executable) state = "manifest names another executable";
    if (!live->buildIndex.empty()) {
        bool whole = true;
        ReportIndexAndPatches(folder, live->buildIndex, section, whole);
        if (!whole && state == "ok") state = "index or patch missing or damaged";
    }
    if (publicKey.empty()) {
        section.fields.push_back({"signature", live->signature.empty() ? "none" : "present"});
    } else {
        const bool verified = VerifyManifestSignature(
            ManifestSigningText(live->version, live->url, live->sha256, live->executable),
            live->signature, publicKey);
        section.fields.push_back({"signature", verified ? "verified by the key"
                                               : live->signature.empty()
                                                   ? "none"
                                                   : "not verified by the key"});
        if (!verified && state == "ok") state = "signature not verified by the given key";
    }
    section.fields.push_back({"state", state});
    ok = ok && state == "ok";
    return section;
}

}  // namespace

Report Status(const fs::path& folder, const fs::path& publicKey) {
    Report report;
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        report.sections.push_back(StatusOf(*kind, folder, publicKey, report.ok));
    }
    return report;
}

Report Prune(const fs::path& folder, int keep, const Options& options) {
    Report report;
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        Report::Section section{kind->name, {}};
        // A manifest that cannot be read names nothing we could trust: stop.
        const std::optional<ManifestFields> live = ReadManifestFile(folder / kind->manifestPath);
        const std::optional<fs::path> liveFile = live ? NamedBuild(folder, *live) : std::nullopt;
        std::vector<std::pair<fs::file_time_type, BuildFile>> rest;
        for (const BuildFile& build : BuildsOf(*kind, folder)) {
            if (liveFile && build.file == *liveFile) {
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
            if (!kept && !options.dryRun) fs::remove(rest[i].second.file);
        }
        if (kind == &GameKind()) PruneIndexesAndPatches(folder, options, section);
        report.sections.push_back(section);
    }
    return report;
}

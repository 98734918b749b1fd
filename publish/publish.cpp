#include "publish/publish.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>

#include "base/manifest_signing_text.h"
#include "base/text.h"
#include "publish/authenticode.h"
#include "publish/base_url.h"
#include "publish/build_index.h"
#include "publish/game_archive.h"
#include "publish/http_get.h"
#include "publish/manifest_json.h"
#include "publish/manifest_signing.h"
#include "publish/pe_version.h"
#include "publish/release_lock.h"
#include "store/installed_versions.h"
#include "store/version_name.h"
#include "store/windows_names.h"

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

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct LauncherFacts {
    std::string version;
    std::string updateHost;
    std::string releaseKey;  // X then Y in hex; empty for a launcher without one
    Authenticode signature = Authenticode::None;
};

LauncherFacts ReadLauncherFacts(const fs::path& executable) {
    const std::string image = ReadWhole(executable);
    const ExecutableFacts facts = ReadExecutableFacts(image);
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
    return {text("FileVersion"), text("UpdateHost"), Lower(text("ReleaseKey")),
            AuthenticodeOf(image)};
}

// A refusal that --force turns into a warning.
void RefuseUnlessForced(const Options& options, Report& report, const std::string& refusal,
                        const std::string& warning) {
    if (!options.force) throw std::runtime_error(refusal + "; use --force to publish it anyway");
    report.warnings.push_back(warning);
}

// The address both manifests are read from, compared whole: "https://", the
// host, the port (443 when none is written) and the path.
std::string ManifestAddress(const BaseUrl& base) {
    const size_t pathAt = 8 + base.host.size() + (base.port.empty() ? 0 : base.port.size() + 1);
    return base.host + ":" + (base.port.empty() ? "443" : base.port) + base.text.substr(pathAt);
}

// The launcher reads its manifests from "https://<update host>/release/", as
// built into it, so a release served at any other address never reaches it.
void CheckLauncherHost(const LauncherFacts& facts, const BaseUrl& base, const Options& options,
                       Report& report) {
    if (facts.updateHost.empty()) {
        RefuseUnlessForced(
            options, report, "The launcher does not record the update host it was built for",
            "the launcher does not record its update host; make sure it is " + base.text);
        return;
    }
    std::string built = "https://" + facts.updateHost;
    try {
        const BaseUrl parsed = ParseBaseUrl(built);
        if (ManifestAddress(parsed) == ManifestAddress(base)) return;
        built = parsed.text;
    } catch (const std::exception&) {
        // Not an address this tool would publish at: refused below.
    }
    RefuseUnlessForced(
        options, report,
        "The launcher reads its manifests from " + built + "/release/, but the base URL is " +
            base.text +
            "; its players would never read this release (build it with "
            "-DTESSIK_UPDATE_HOST=" +
            base.text.substr(8) + ")",
        "the launcher reads its manifests from " + built + "/release/, not from " + base.text);
}

// A launcher built with a release key refuses unsigned manifests and those of
// any other key; one without a key would take any manifest.
void CheckLauncherKey(const LauncherFacts& facts, const Options& options, Report& report) {
    if (options.signingKey.empty()) {
        if (facts.releaseKey.empty()) return;
        RefuseUnlessForced(options, report,
                           "The launcher carries a release key, so it refuses unsigned manifests; "
                           "give --signing-key",
                           "the launcher carries a release key but its manifest is unsigned: "
                           "launchers of this build refuse it");
        return;
    }
    const std::string signing = SigningKeyPublicHex(options.signingKey);
    if (facts.releaseKey == signing) return;
    if (facts.releaseKey.empty()) {
        RefuseUnlessForced(options, report,
                           "The launcher carries no release key, so its players would take "
                           "unsigned manifests (build it with TESSIK_RELEASE_PUBLIC_KEY)",
                           "the launcher carries no release key: its players take unsigned "
                           "manifests");
        return;
    }
    RefuseUnlessForced(options, report,
                       "The launcher carries another release key than the signing key's public "
                       "half; it would refuse every manifest signed with this key",
                       "the launcher carries another release key than the signing key's: it "
                       "refuses these manifests");
}

// Launchers that check signatures refuse an unsigned manifest, so a signed
// release is not replaced by an unsigned one without a word.
void CheckStaysSigned(const std::optional<ManifestFields>& live, const Options& options,
                      Report& report) {
    if (!live || live->signature.empty() || !options.signingKey.empty()) return;
    RefuseUnlessForced(options, report,
                       "The live manifest is signed and this one would not be; every launcher "
                       "built with a release key would refuse it (give --signing-key)",
                       "a signed manifest is replaced by an unsigned one: launchers built with "
                       "a release key refuse it");
}

GameArchiveFacts CheckGame(const fs::path& archive, Report& report) {
    GameArchiveFacts game = CheckGameArchive(archive);
    report.warnings.insert(report.warnings.end(), game.warnings.begin(), game.warnings.end());
    return game;
}

void ReportSignature(const char* field, Authenticode signature, const char* what,
                     Report::Section& section, Report& report) {
    section.fields.push_back({field, AuthenticodeText(signature)});
    if (signature == Authenticode::Invalid) {
        report.warnings.push_back(std::string(what) +
                                  " carries an Authenticode signature that does not verify; "
                                  "Windows treats it as unsigned (sign it again)");
    } else if (signature == Authenticode::None) {
        report.warnings.push_back(std::string(what) +
                                  " carries no Authenticode signature; sign it (osslsigncode) "
                                  "before publishing, since signing changes its digest");
    }
}

// The launcher's signature, or the one of the game's tessik.exe.
void ReportSignature(const std::optional<LauncherFacts>& launcher, const GameArchiveFacts& game,
                     Report::Section& section, Report& report) {
    if (launcher) {
        ReportSignature("signed", launcher->signature, "the launcher", section, report);
    } else {
        ReportSignature("tessik.exe signed", game.executableSignature, "the game's tessik.exe",
                        section, report);
    }
}

bool HasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// The build a manifest names, when its address points into "builds/".
std::optional<fs::path> NamedBuild(const fs::path& folder, const ManifestFields& manifest) {
    const size_t at = manifest.url.rfind("/builds/");
    if (at == std::string::npos) return std::nullopt;
    const std::string name = PercentDecode(manifest.url.substr(at + 8));
    // A control character (%00) would cut the name short on the way to disk.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == ".." ||
        HasControlCharacter(name)) {
        return std::nullopt;
    }
    return folder / "builds" / name;
}

std::string BuildUrl(const BaseUrl& base, const std::string& name) {
    return base.text + "/builds/" + PercentEncode(name);
}

// The four values; what is signed is added as the manifest is written.
ManifestFields BuildManifest(const std::string& version, const std::string& url,
                             const std::string& sha256, const std::string& executable) {
    ManifestFields fields;
    fields.version = version;
    fields.url = url;
    fields.sha256 = sha256;
    fields.executable = executable;
    return fields;
}

std::int64_t SecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The live manifest's sequence, read as the new one is written (nullopt: none,
// or a manifest that cannot be read and is about to be replaced).
std::optional<std::uint64_t> LiveSequence(const fs::path& manifest) {
    try {
        const std::optional<ManifestFields> live = ReadManifestFile(manifest);
        return live ? ParseManifestSequence(live->sequence) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Signs `fields`, which replace a manifest of sequence `live`: a higher one, the
// expiry asked for, then both signatures. The text is checked to read back as
// signed, so no value can hide another key from the launcher's reader.
std::string SignedManifestText(ManifestFields fields, std::optional<std::uint64_t> live,
                               const Options& options, Report::Section& section) {
    const std::int64_t now = SecondsNow();
    fields.sequence = std::to_string(NextManifestSequence(live, now));
    fields.expires = options.expiresInDays > 0
                         ? FormatUtcTimestamp(now + std::int64_t{options.expiresInDays} * 86400)
                         : "";
    const std::string text = SignedManifestJson(fields, options.signingKey);
    section.fields.push_back({"sequence", fields.sequence});
    section.fields.push_back({"expires", fields.expires.empty() ? "never" : fields.expires});
    section.fields.push_back({"signature", "made with the signing key"});
    return text;
}

// The manifest's text, signed before anything is written, so a key that
// cannot sign writes nothing, not even the build.
std::string ManifestText(const ReleaseKind& kind, const fs::path& folder, ManifestFields fields,
                         const Options& options, Report::Section& section) {
    fields.byteRanges = options.byteRanges;
    std::string text;
    if (options.signingKey.empty()) {
        section.fields.push_back({"signature", "none"});
        text = ManifestJson(fields);
    } else {
        text =
            SignedManifestText(fields, LiveSequence(folder / kind.manifestPath), options, section);
    }
    section.fields.push_back({"manifest", (folder / kind.manifestPath).string()});
    return text;
}

// The manifest last, so no launcher reads one whose build is not there yet.
void WriteManifest(const ReleaseKind& kind, const fs::path& folder, const std::string& text,
                   const Options& options) {
    if (options.dryRun) return;
    IncomingFile manifest(folder, text);
    manifest.MoveTo(folder / kind.manifestPath);
}

// Another build of this version: players who have it never fetch new bytes.
void CheckVersionIsNew(const ReleaseKind& kind, const fs::path& folder,
                       const std::optional<ManifestFields>& live, const std::string& version,
                       const std::string& sha256, const Options& options, Report& report) {
    std::string other;
    const std::string folded = FoldCaseAsNtfs(version);
    for (const BuildFile& build : BuildsOf(kind, folder)) {
        if (build.version == version && build.sha256 != sha256) other = build.sha256;
        // On NTFS both would be one folder under "versions".
        if (build.version != version && FoldCaseAsNtfs(build.version) == folded) {
            throw std::runtime_error("The version " + version + " differs from the published " +
                                     build.version +
                                     " only in letter case; on Windows both would name one "
                                     "folder");
        }
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

// Launchers go back only by a rollback, never by a publish. The game is
// ordered as the launcher lists its stored builds.
void CheckNotOlder(const ReleaseKind& kind, const std::optional<ManifestFields>& live,
                   const std::string& version, const Options& options, Report& report) {
    if (!live) return;
    const bool older = &kind == &LauncherKind()
                           ? CompareVersions(version, live->version) < 0
                           : IsNewerVersion(Utf8ToUtf16(live->version), Utf8ToUtf16(version));
    if (!older) return;
    const std::string who = &kind == &LauncherKind() ? "launcher" : "game";
    RefuseUnlessForced(options, report,
                       "The " + who + " " + version + " is older than the published " +
                           live->version +
                           "; every launcher would go back to it (use rollback "
                           "to go back on purpose)",
                       "the " + who + " " + version + " is older than the published " +
                           live->version + ": every launcher goes back to it");
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
                      {"size", std::to_string(size)},
                      {"url", manifest.url},
                      {"file", file.string()}};
    ReportSignature(facts, game, section, report);
    if (!launcher) {
        // A key that cannot sign must stop the publish before the index and
        // patches are written, as it does before the build.
        if (!options.signingKey.empty()) SignManifestText("", options.signingKey);
        manifest.buildIndex =
            PublishIndexAndPatches(folder, version, subject, options.patchCount, options, section);
    }
    const std::string text = ManifestText(kind, folder, manifest, options, section);
    // A file already under this name is used only when it holds these bytes.
    if (fs::exists(file) && Sha256OfFile(file) != sha256) {
        report.warnings.push_back(file.string() +
                                  " did not hold the bytes its name promises; it is replaced");
        if (!options.dryRun) copy->MoveTo(file);
    } else if (!fs::exists(file) && !options.dryRun) {
        copy->MoveTo(file);
    }
    WriteManifest(kind, folder, text, options);
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
                      {"size", std::to_string(fs::file_size(build.file))},
                      {"url", manifest.url},
                      {"file", build.file.string()}};
    ReportSignature(facts, game, section, report);
    if (live) section.fields.push_back({"was", live->version});
    WriteManifest(kind, folder, ManifestText(kind, folder, manifest, options, section), options);
    return report;
}

namespace {

// What is wrong with a manifest's expiry: past, a day away or less, or
// unreadable (empty: nothing, or no expiry).
std::string ExpiryFault(const std::string& expires) {
    if (expires.empty()) return "";
    const std::optional<std::int64_t> at = ParseUtcTimestamp(expires);
    if (!at) return "expiry unreadable";
    const std::int64_t now = SecondsNow();
    if (now > *at) return "expired";
    if (*at - now <= 86400) return "expires within a day; sign it again";
    return "";
}

// Whether the key verifies every signature a launcher may check.
bool SignaturesVerify(const std::string& text, const ManifestFields&, const fs::path& key) {
    return ManifestSignaturesVerify(text, key);
}

// One manifest's part of the status: what is live and whether it is whole.
Report::Section StatusOf(const ReleaseKind& kind, const fs::path& folder, const fs::path& publicKey,
                         bool& ok) {
    Report::Section section{kind.name, {}};
    std::optional<std::string> text;
    ManifestFields live;
    try {
        text = ReadManifestText(folder / kind.manifestPath);
        if (text) live = ParseManifestText(*text);
    } catch (const std::exception& error) {
        section.fields.push_back({"state", std::string("manifest unreadable: ") + error.what()});
        ok = false;
        return section;
    }
    if (!text) {
        section.fields.push_back({"state", "not published"});
        return section;
    }
    section.fields = {{"version", live.version}, {"sha256", live.sha256}, {"url", live.url}};
    const std::optional<fs::path> build = NamedBuild(folder, live);
    std::string state;
    if (HasControlCharacter(PercentDecode(live.url))) {
        state = "url holds a control character";
    } else if (!build || !fs::is_regular_file(*build)) {
        state = "build missing";
    } else {
        section.fields.push_back({"size", std::to_string(fs::file_size(*build))});
        section.fields.push_back({"file", build->string()});
        state = Sha256OfFile(*build) == live.sha256 ? "ok" : "build does not match its digest";
    }
    if (live.executable != kind.executable && state == "ok") {
        state = "manifest names another executable";
    }
    if (!live.buildIndex.empty()) {
        bool whole = true;
        ReportIndexAndPatches(folder, live.buildIndex, section, whole);
        if (!whole && state == "ok") state = "index or patch missing or damaged";
    }
    section.fields.push_back({"sequence", live.sequence.empty() ? "none" : live.sequence});
    section.fields.push_back({"expires", live.expires.empty() ? "never" : live.expires});
    const std::string expiryFault = ExpiryFault(live.expires);
    if (!expiryFault.empty() && state == "ok") state = expiryFault;
    if (publicKey.empty()) {
        section.fields.push_back({"signature", live.signature.empty() ? "none" : "present"});
    } else {
        const bool verified = SignaturesVerify(*text, live, publicKey);
        section.fields.push_back({"signature", verified ? "verified by the key"
                                               : live.signature.empty()
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
    if (!fs::is_directory(folder)) {
        throw std::runtime_error("The release folder " + folder.string() + " does not exist");
    }
    Report report;
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        report.sections.push_back(StatusOf(*kind, folder, publicKey, report.ok));
    }
    const Leftovers leftovers = IncomingLeftovers(folder);
    Report::Section section{"folder", {}};
    section.fields.push_back(
        {"incoming", leftovers.files == 0
                         ? "empty"
                         : "partial copies of killed runs: " + std::to_string(leftovers.files) +
                               " files, " + std::to_string(leftovers.bytes) +
                               " bytes (the next writing command removes them)"});
    section.fields.push_back(
        {"lock", ReleaseLockIsHeld(folder) ? "held by a run writing now" : "free"});
    report.sections.push_back(section);
    return report;
}

Report Prune(const fs::path& folder, int keep, const Options& options) {
    if (!fs::is_directory(folder)) {
        throw std::runtime_error("The release folder " + folder.string() + " does not exist");
    }
    // Both manifests first: one that cannot be read may name any build, so
    // nothing is removed until both are known.
    std::vector<fs::path> named;
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        std::optional<ManifestFields> live;
        try {
            live = ReadManifestFile(folder / kind->manifestPath);
        } catch (const std::exception& error) {
            throw std::runtime_error("The " + std::string(kind->name) + " manifest " +
                                     (folder / kind->manifestPath).string() + " cannot be read (" +
                                     error.what() + "); nothing is pruned");
        }
        if (!live) continue;
        const std::optional<fs::path> file = NamedBuild(folder, *live);
        if (file) named.push_back(*file);
    }
    Report report;
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        Report::Section section{kind->name, {}};
        std::vector<std::pair<fs::file_time_type, BuildFile>> rest;
        for (const BuildFile& build : BuildsOf(*kind, folder)) {
            if (std::find(named.begin(), named.end(), build.file) != named.end()) {
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

namespace {

constexpr size_t ManifestLimit = 1 << 16;

std::string Header(const HttpReply& reply, const std::string& name) {
    const auto found = reply.headers.find(name);
    return found == reply.headers.end() ? "(none)" : found->second;
}

// One manifest as a launcher reads it from the public address, then the build
// it names, fetched whole: answer, headers, size and digest.
Report::Section RemoteStatusOf(const ReleaseKind& kind, const BaseUrl& base,
                               const RemoteOptions& remote, bool& found, bool& ok) {
    Report::Section section{kind.name, {}};
    const std::string address = base.text + "/" + kind.manifestPath;
    section.fields.push_back({"manifest", address});
    const auto fail = [&](const std::string& state) {
        section.fields.push_back({"state", state});
        ok = false;
        return section;
    };
    const HttpReply reply = HttpGet(address, remote.caFile, ManifestLimit);
    if (reply.status == 404) {
        section.fields.push_back({"state", "not published"});
        return section;
    }
    found = true;
    if (reply.status != 200) return fail("manifest answers " + std::to_string(reply.status));
    const std::string caching = Header(reply, "cache-control");
    section.fields.push_back({"manifest cache", caching});
    ManifestFields live;
    try {
        live = ParseManifestText(reply.body);
    } catch (const std::exception& error) {
        return fail(std::string("manifest unreadable: ") + error.what());
    }
    section.fields.push_back({"version", live.version});
    section.fields.push_back({"url", live.url});
    if (caching.find("no-cache") == std::string::npos) {
        return fail("manifest may be cached without revalidation");
    }
    if (!remote.folder.empty()) {
        const fs::path local = remote.folder / kind.manifestPath;
        std::error_code error;
        if (!fs::exists(local, error) || ReadWhole(local) != reply.body) {
            return fail("manifest served is not the one in " + remote.folder.string());
        }
    }
    if (HasControlCharacter(PercentDecode(live.url))) return fail("url holds a control character");
    if (!remote.publicKey.empty() &&
        !VerifyManifestSignature(
            ManifestSigningText(live.version, live.url, live.sha256, live.executable),
            live.signature, remote.publicKey)) {
        return fail("signature not verified by the given key");
    }
    const HttpReply build = HttpGet(live.url, remote.caFile, 0);
    section.fields.push_back({"build", std::to_string(build.status)});
    if (build.status != 200) return fail("build answers " + std::to_string(build.status));
    section.fields.push_back({"size", std::to_string(build.size)});
    section.fields.push_back({"build cache", Header(build, "cache-control")});
    section.fields.push_back({"type", Header(build, "content-type")});
    if (Header(build, "content-length") != "(none)" &&
        Header(build, "content-length") != std::to_string(build.size)) {
        return fail("build is cut short");
    }
    if (build.sha256 != Lower(live.sha256)) return fail("build does not match its digest");
    if (Header(build, "cache-control").find("immutable") == std::string::npos) {
        return fail("build is not served immutable");
    }
    section.fields.push_back({"state", "ok"});
    return section;
}

}  // namespace

Report RemoteStatus(const std::string& url, const RemoteOptions& remote) {
    const BaseUrl base = ParseBaseUrl(url);
    Report report;
    bool found = false;
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        report.sections.push_back(RemoteStatusOf(*kind, base, remote, found, report.ok));
    }
    if (!found) {
        report.ok = false;
        report.warnings.push_back("no manifest is published at " + base.text);
    }
    return report;
}

Report UploadOrder(const fs::path& folder) {
    if (!fs::is_directory(folder)) {
        throw std::runtime_error("The release folder " + folder.string() + " does not exist");
    }
    // Builds before the manifests that name them, removals after, so a CDN
    // never serves a manifest whose build is not there yet.
    Report report;
    Report::Section builds{"1. the builds", {}}, manifests{"2. the manifests", {}};
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        const std::string type =
            kind == &GameKind() ? "application/zip" : "application/octet-stream";
        for (const BuildFile& build : BuildsOf(*kind, folder)) {
            builds.fields.push_back(
                {"builds/" + build.name,
                 "Content-Type: " + type + "; Cache-Control: public, max-age=31536000, immutable"});
        }
        if (fs::exists(folder / kind->manifestPath)) {
            manifests.fields.push_back(
                {kind->manifestPath, "Content-Type: application/json; Cache-Control: no-cache"});
        }
    }
    report.sections = {builds,
                       manifests,
                       {"3. then",
                        {{"remove", "what the host holds that this folder no longer does"},
                         {"never", std::string(".incoming/ and ") + ReleaseLockFile +
                                       " (they never leave this machine)"}}}};
    if (ReleaseLockIsHeld(folder)) {
        report.warnings.push_back("a run is writing into " + folder.string() +
                                  "; upload when it has finished");
    }
    return report;
}

#include "publish/release_checks.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "base/text.h"
#include "publish/manifest_signing.h"
#include "publish/pe_version.h"
#include "publish/release_files.h"
#include "store/installed_versions.h"
#include "store/version_name.h"
#include "format/windows_names.h"

namespace fs = std::filesystem;

namespace {

constexpr char LauncherFileName[] = "TESSIK-Launcher-Windows-x64.exe";

}  // namespace

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

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

// Another build of this version: players who have it never fetch new bytes.
void CheckVersionIsNew(const ReleaseKind& kind, const fs::path& folder,
                       const std::optional<ManifestFields>& live, const std::string& version,
                       const std::string& sha256, const Options& options, Report& report) {
    std::string other;
    const std::string folded = FoldCaseAsNtfs(version);
    // A build no manifest ever named was never seen; the writer removes it.
    const std::set<std::string> leftovers = LeftoverBuilds(folder);
    for (const BuildFile& build : BuildsOf(kind, folder)) {
        if (leftovers.count(build.name) != 0) continue;
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

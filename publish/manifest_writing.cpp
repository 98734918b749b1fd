#include "publish/manifest_writing.h"

#include <chrono>
#include <set>
#include <stdexcept>

#include "format/manifest_signing_text.h"
#include "publish/keep_builds.h"
#include "publish/manifest_signing.h"
#include "publish/published_builds.h"
#include "publish/release_checks.h"
#include "publish/release_files.h"

namespace fs = std::filesystem;

std::optional<fs::path> NamedBuild(const fs::path& folder, const ManifestFields& manifest) {
    const std::string name = NamedBuildName(manifest);
    if (name.empty()) return std::nullopt;
    return folder / "builds" / name;
}

std::string BuildUrl(const BaseUrl& base, const std::string& name) {
    return base.text + "/builds/" + PercentEncode(name);
}

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

namespace {

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
// expiry asked for, then every signature. The text is checked to read back as
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

}  // namespace

std::string ManifestText(const ReleaseKind& kind, const fs::path& folder, ManifestFields fields,
                         const Options& options, Report::Section& section) {
    fields.byteRanges = options.byteRanges;
    if (&kind == &GameKind()) {
        fields.keepBuilds = KeepBuildsToWrite(options.keepBuilds, folder / kind.manifestPath);
        section.fields.push_back(
            {"keep", fields.keepBuilds.empty() ? "every build" : fields.keepBuilds + " builds"});
    }
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

void WriteManifest(const ReleaseKind& kind, const fs::path& folder, const ManifestFields& fields,
                   const std::string& text, const Options& options) {
    if (options.dryRun) return;
    // The record names the build before the manifest does, each written whole
    // and renamed: a run killed between the two leaves a build that counts as
    // published though no manifest named it (refused for other bytes, as it
    // may have been seen), never a named build taken for a leftover. The build
    // this manifest replaces was named too, whichever tool wrote it.
    std::set<std::string> named{NamedBuildName(fields)};
    try {
        if (auto live = ReadManifestFile(folder / kind.manifestPath)) {
            named.insert(NamedBuildName(*live));
        }
    } catch (const std::exception&) {
        // A manifest that cannot be read names no build.
    }
    RecordPublishedBuilds(folder, named);
    IncomingFile manifest(folder, text);
    manifest.MoveTo(folder / kind.manifestPath);
}

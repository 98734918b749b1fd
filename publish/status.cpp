#include <optional>
#include <stdexcept>

#include "format/manifest_signing_text.h"
#include "publish/base_url.h"
#include "publish/manifest_signing.h"
#include "publish/manifest_writing.h"
#include "publish/publish.h"
#include "publish/release_checks.h"
#include "publish/release_files.h"
#include "publish/release_lock.h"
#include "publish/report_json.h"

namespace fs = std::filesystem;

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
    std::string state;
    if (HasControlCharacter(PercentDecode(live.url))) state = "url holds a control character";
    // The build, the patches and the index, as every command lists them.
    const ManifestParts parts = PartsOf(live, [&folder](const std::string& name) {
        std::error_code error;
        const fs::path file = folder / "builds" / name;
        if (!fs::is_regular_file(file, error) || fs::file_size(file, error) > BuildIndexLimit) {
            return std::optional<std::string>();
        }
        return std::optional<std::string>(ReadWhole(file));
    });
    std::vector<std::string> patches;
    for (const ReleasePart& part : parts.parts) {
        const fs::path file = folder / "builds" / part.name;
        std::error_code error;
        const bool there = !part.name.empty() && fs::is_regular_file(file, error);
        const bool whole = there && Sha256OfFile(file) == part.sha256;
        const uint64_t bytes = there ? fs::file_size(file, error) : 0;
        if (part.role == ReleasePart::Build) {
            if (there) {
                section.Number("size", bytes);
                section.fields.push_back({"file", file.string()});
            }
            if (state.empty()) {
                state = !there ? "build missing" : whole ? "ok" : "build does not match its digest";
            }
        } else if (part.role == ReleasePart::Index) {
            const std::string fault = !parts.indexFault.empty() ? parts.indexFault
                                      : !there                  ? "missing"
                                      : !whole                  ? "does not match its digest"
                                                                : "";
            section.fields.push_back({"index",
                                      fault.empty()
                                          ? std::to_string(parts.indexFiles) + " files, ok"
                                      : fault == "missing" || fault == "does not match its digest"
                                          ? "missing or does not match its digest"
                                          : fault,
                                      "", Report::Field::TextOnly});
            section.fields.push_back(
                {"index", "",
                 JsonObject({{"sha256", JsonText(part.sha256)},
                             {"files", std::to_string(parts.indexFiles)},
                             {"state", JsonText(fault.empty() ? "ok" : fault)}}),
                 Report::Field::JsonOnly});
            if (!fault.empty() && state == "ok") state = "index or patch missing or damaged";
        } else {
            const std::string patchState = !there  ? "missing"
                                           : whole ? "ok"
                                                   : "does not match its digest";
            section.fields.push_back(
                {"patch from " + part.fromVersion,
                 patchState == "ok" ? std::to_string(bytes) + " bytes, ok" : patchState, "",
                 Report::Field::TextOnly});
            patches.push_back(JsonObject({{"from", JsonText(part.fromVersion)},
                                          {"sha256", JsonText(part.sha256)},
                                          {"kind", JsonText(part.delta ? "delta" : "files")},
                                          {"bytes", std::to_string(bytes)},
                                          {"state", JsonText(patchState)}}));
            if (patchState != "ok" && state == "ok") state = "index or patch missing or damaged";
        }
    }
    if (!live.buildIndex.empty()) {
        section.fields.push_back({"patches", "", JsonArray(patches), Report::Field::JsonOnly});
    }
    if (live.executable != kind.executable && state == "ok") {
        state = "manifest names another executable";
    }
    section.fields.push_back({"sequence", live.sequence.empty() ? "none" : live.sequence});
    section.fields.push_back({"expires", live.expires.empty() ? "never" : live.expires});
    const std::string expiryFault = ExpiryFault(live.expires);
    if (!expiryFault.empty() && state == "ok") state = expiryFault;
    if (publicKey.empty()) {
        section.fields.push_back({"signature", live.signature.empty() ? "none" : "present"});
    } else {
        const bool verified = ManifestSignaturesVerify(*text, publicKey);
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
    // Index and patch files nothing needs: the next writing command removes
    // them. Names the tool never writes are only shown.
    try {
        const FolderFiles files = ReadFolderFiles(folder);
        const auto list = [&section](const char* key, const std::vector<std::string>& names,
                                     const char* why) {
            std::string text =
                names.empty() ? "none" : std::to_string(names.size()) + " files" + why;
            std::vector<std::string> json;
            for (const std::string& name : names) {
                text += (json.empty() ? ": " : ", ") + name;
                json.push_back(JsonText(name));
            }
            section.fields.push_back({key, text, JsonArray(json)});
        };
        list("unfinished", files.leftovers,
             " of publishes that did not finish, never named by a manifest (the next writing "
             "command removes them)");
        list("orphans", files.orphans, " no build needs (the next writing command removes them)");
        list("unknown", files.unknown, " of names the tool never writes (left as they are)");
    } catch (const std::exception&) {
        // An unreadable manifest is already reported, and fails the status.
    }
    section.fields.push_back(
        {"lock", ReleaseLockIsHeld(folder) ? "held by a run writing now" : "free"});
    report.sections.push_back(section);
    return report;
}

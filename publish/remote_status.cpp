#include <optional>
#include <stdexcept>

#include "publish/base_url.h"
#include "publish/http_get.h"
#include "publish/manifest_signing.h"
#include "publish/publish.h"
#include "publish/release_checks.h"
#include "publish/release_files.h"
#include "publish/report_json.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t ManifestLimit = 1 << 16;

std::string Header(const HttpReply& reply, const std::string& name) {
    const auto found = reply.headers.find(name);
    return found == reply.headers.end() ? "(none)" : found->second;
}

// What is wrong with a file served whole under an immutable name: cut short,
// another digest, or not cacheable for good (empty: nothing).
std::string ServedFault(const HttpReply& reply, const std::string& sha256,
                        const std::string& what) {
    if (Header(reply, "content-length") != "(none)" &&
        Header(reply, "content-length") != std::to_string(reply.size)) {
        return what + " is cut short";
    }
    if (reply.sha256 != Lower(sha256)) return what + " does not match its digest";
    if (Header(reply, "cache-control").find("immutable") == std::string::npos) {
        return what + " is not served immutable";
    }
    return "";
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
    if (!remote.publicKey.empty() && !ManifestSignaturesVerify(reply.body, remote.publicKey)) {
        return fail("signature not verified by the given key");
    }
    const HttpReply build = HttpGet(live.url, remote.caFile, 0);
    section.Number("build", static_cast<uint64_t>(build.status));
    if (build.status != 200) return fail("build answers " + std::to_string(build.status));
    section.Number("size", build.size);
    section.fields.push_back({"build cache", Header(build, "cache-control")});
    section.fields.push_back({"type", Header(build, "content-type")});
    const std::string fault = ServedFault(build, live.sha256, "build");
    if (!fault.empty()) return fail(fault);
    // The index and the patches, from the same host as launchers take them:
    // the list is the same one the folder's status and upload order read.
    std::optional<HttpReply> index;
    const ManifestParts parts = PartsOf(live, [&](const std::string& name) {
        index = HttpGet(SiblingAddress(live.url, name), remote.caFile, BuildIndexLimit);
        return index->status == 200 && index->size <= BuildIndexLimit
                   ? std::optional<std::string>(index->body)
                   : std::nullopt;
    });
    std::vector<std::string> patches;
    std::string partFault;
    for (const ReleasePart& part : parts.parts) {
        if (part.role == ReleasePart::Index) {
            const std::string why =
                index->status != 200        ? "index answers " + std::to_string(index->status)
                : !parts.indexFault.empty() ? "index " + parts.indexFault
                                            : ServedFault(*index, part.sha256, "index");
            section.fields.push_back({"index", why.empty() ? "ok" : why});
            if (partFault.empty()) partFault = why;
        } else if (part.role == ReleasePart::Patch) {
            const HttpReply patch = HttpGet(SiblingAddress(live.url, part.name), remote.caFile, 0);
            const std::string what = "patch from " + part.fromVersion;
            const std::string why = patch.status != 200
                                        ? what + " answers " + std::to_string(patch.status)
                                        : ServedFault(patch, part.sha256, what);
            section.fields.push_back({what, why.empty() ? "ok" : why, "", Report::Field::TextOnly});
            patches.push_back(JsonObject({{"from", JsonText(part.fromVersion)},
                                          {"kind", JsonText(part.delta ? "delta" : "files")},
                                          {"answer", std::to_string(patch.status)},
                                          {"bytes", std::to_string(patch.size)},
                                          {"state", JsonText(why.empty() ? "ok" : why)}}));
            if (partFault.empty()) partFault = why;
        }
    }
    if (!live.buildIndex.empty()) {
        section.fields.push_back({"patches", "", JsonArray(patches), Report::Field::JsonOnly});
    }
    if (!partFault.empty()) return fail(partFault);
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

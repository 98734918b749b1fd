#include "service/update_manifest.h"

#include <algorithm>
#include <cctype>

#include "base/launcher_error.h"
#include "base/text.h"
#include "format/hex.h"
#include "format/json.h"
#include "format/keep_builds.h"
#include "format/manifest_object.h"
#include "format/manifest_signing_text.h"

UpdateManifest ParseUpdateManifest(const std::string& text, const std::string& expectedExecutable,
                                   bool keyed) {
    UpdateManifest manifest;
    const ManifestFields fields = ReadManifestFields(
        text, keyed, [&](const std::string& url) { manifest.url = Utf8ToUtf16(url); });
    manifest.version = fields.version;
    manifest.sha256 = fields.sha256;
    manifest.executable = fields.executable.empty() ? "tessik.exe" : fields.executable;
    manifest.byteRanges = fields.byteRanges;

    std::transform(
        manifest.sha256.begin(), manifest.sha256.end(), manifest.sha256.begin(),
        [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    const bool hexDigest = manifest.sha256.size() == 64 &&
                           std::all_of(manifest.sha256.begin(), manifest.sha256.end(), [](char c) {
                               return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                           });
    if (!hexDigest) {
        throw LauncherError("The update manifest has an invalid SHA-256 digest");
    }
    if (manifest.url.compare(0, 8, L"https://") != 0) {
        throw LauncherError("The update manifest does not use HTTPS");
    }
    if (manifest.executable != expectedExecutable) {
        throw LauncherError("The update manifest names an unexpected executable");
    }
    manifest.buildIndex = fields.buildIndex;
    if (!IsSha256Hex(manifest.buildIndex)) manifest.buildIndex.clear();
    manifest.keepBuilds = ParseKeepBuilds(fields.keepBuilds);
    return manifest;
}

std::optional<std::uint64_t> CheckManifestFreshness(const std::string& text,
                                                    std::optional<std::uint64_t> remembered,
                                                    std::int64_t now) {
    const std::optional<ManifestObject> object = ReadJsonObject(text);
    if (!object) throw LauncherError("The update manifest is malformed");
    std::optional<std::uint64_t> sequence;
    if (object->count("sequence") != 0) {
        sequence = ParseManifestSequence(StringMember(*object, "sequence"));
        if (!sequence) throw LauncherError("The update manifest has an invalid sequence");
    }
    // An equal sequence is the same manifest served again.
    if (remembered && (!sequence || *sequence < *remembered)) {
        throw LauncherError("The update manifest is older than one already seen");
    }
    if (object->count("expires") != 0) {
        const std::optional<std::int64_t> expires =
            ParseUtcTimestamp(StringMember(*object, "expires"));
        if (!expires) throw LauncherError("The update manifest has an invalid expiry");
        if (now > *expires) throw LauncherError("The update manifest has expired");
    }
    return sequence;
}

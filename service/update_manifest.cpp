#include "service/update_manifest.h"

#include <algorithm>
#include <cctype>

#include "format/json.h"
#include "format/keep_builds.h"
#include "base/launcher_error.h"
#include "format/manifest_keys.h"
#include "format/manifest_signing_text.h"
#include "base/text.h"

UpdateManifest ParseUpdateManifest(const std::string& text, const std::string& expectedExecutable) {
    UpdateManifest manifest;
    manifest.version = ReadJsonStringField(text, "version", true);
    manifest.url = Utf8ToUtf16(ReadJsonStringField(text, "url", true));
    manifest.sha256 = ReadJsonStringField(text, "sha256", true);
    manifest.executable = ReadJsonStringField(text, "executable", false);
    if (manifest.executable.empty()) {
        manifest.executable = "tessik.exe";
    }
    manifest.byteRanges = ReadJsonStringField(text, ByteRangesKey, false) == ByteRangesValue;

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
    manifest.buildIndex = ReadJsonStringField(text, BuildIndexKey, false);
    if (manifest.buildIndex.size() != 64 ||
        manifest.buildIndex.find_first_not_of("0123456789abcdef") != std::string::npos) {
        manifest.buildIndex.clear();
    }
    manifest.keepBuilds = ParseKeepBuilds(ReadJsonStringField(text, KeepBuildsKey, false));
    return manifest;
}

std::optional<std::uint64_t> CheckManifestFreshness(const std::string& text,
                                                    std::optional<std::uint64_t> remembered,
                                                    std::int64_t now) {
    std::optional<std::uint64_t> sequence;
    if (CarriesJsonKey(text, "sequence")) {
        sequence = ParseManifestSequence(ReadJsonStringField(text, "sequence", true));
        if (!sequence) throw LauncherError("The update manifest has an invalid sequence");
    }
    // An equal sequence is the same manifest served again.
    if (remembered && (!sequence || *sequence < *remembered)) {
        throw LauncherError("The update manifest is older than one already seen");
    }
    if (CarriesJsonKey(text, "expires")) {
        const std::optional<std::int64_t> expires =
            ParseUtcTimestamp(ReadJsonStringField(text, "expires", true));
        if (!expires) throw LauncherError("The update manifest has an invalid expiry");
        if (now > *expires) throw LauncherError("The update manifest has expired");
    }
    return sequence;
}

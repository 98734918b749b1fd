#include "publish/keep_builds.h"

#include "format/keep_builds.h"
#include "publish/manifest_json.h"

std::optional<std::string> ParseKeepBuildsOption(const std::string& text) {
    if (text == "all") return std::string();
    if (!ParseKeepBuilds(text)) return std::nullopt;
    return text;
}

std::string KeepBuildsToWrite(const std::optional<std::string>& option,
                              const std::filesystem::path& liveManifest) {
    if (option) return *option;
    try {
        const std::optional<ManifestFields> live = ReadManifestFile(liveManifest);
        if (live && ParseKeepBuilds(live->keepBuilds)) return live->keepBuilds;
    } catch (const std::exception&) {
        // The publish itself reports an unreadable live manifest.
    }
    return {};
}

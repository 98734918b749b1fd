#include "publish/release_files.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "publish/base_url.h"
#include "publish/published_builds.h"
#include "publish/release_checks.h"
#include "publish/release_folder.h"

namespace fs = std::filesystem;

namespace {

bool IsDigestName(const std::string& name, const std::string& suffix) {
    return name.size() == 64 + suffix.size() && name.compare(64, suffix.size(), suffix) == 0 &&
           name.find_first_not_of("0123456789abcdef") >= 64;
}

std::optional<std::string> ReadIndexFile(const fs::path& folder, const std::string& name) {
    std::error_code error;
    const fs::path file = folder / "builds" / name;
    if (!fs::is_regular_file(file, error) || fs::file_size(file, error) > BuildIndexLimit) {
        return std::nullopt;
    }
    try {
        return ReadWhole(file);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string Sha256OfText(const std::string& text) {
    Sha256 digest;
    digest.Add(text.data(), text.size());
    return digest.FinishHex();
}

}  // namespace

std::string NamedBuildName(const ManifestFields& manifest) {
    const size_t at = manifest.url.rfind("/builds/");
    if (at == std::string::npos) return "";
    const std::string name = PercentDecode(manifest.url.substr(at + 8));
    // A control character (%00) would cut the name short on the way to disk.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == ".." ||
        HasControlCharacter(name)) {
        return "";
    }
    return name;
}

ManifestParts PartsOf(const ManifestFields& manifest, const IndexReader& readIndex) {
    ManifestParts result;
    result.parts.push_back({ReleasePart::Build, NamedBuildName(manifest), manifest.sha256, ""});
    if (manifest.buildIndex.empty()) return result;
    const std::string name = BuildIndexFileName(manifest.buildIndex);
    const std::optional<std::string> text = readIndex(name);
    if (!text) {
        result.indexFault = "missing";
    } else if (Sha256OfText(*text) != manifest.buildIndex) {
        result.indexFault = "does not match its digest";
    } else {
        try {
            const BuildIndex index = ParseBuildIndex(*text);
            result.indexFiles = index.files.size();
            for (const IndexPatch& patch : index.patches) {
                result.parts.push_back({ReleasePart::Patch, PatchFileName(patch.sha256),
                                        patch.sha256, patch.fromVersion, patch.delta});
            }
        } catch (const std::exception&) {
            result.indexFault = "unreadable";
        }
    }
    result.parts.push_back({ReleasePart::Index, name, manifest.buildIndex, ""});
    return result;
}

std::vector<std::pair<fs::path, BuildIndex>> IndexesIn(const fs::path& folder) {
    std::vector<std::pair<fs::path, BuildIndex>> indexes;
    std::error_code error;
    for (fs::directory_iterator entry(folder / "builds", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!IsDigestName(name, ".index")) continue;
        const std::optional<std::string> text = ReadIndexFile(folder, name);
        if (!text || Sha256OfText(*text) != name.substr(0, 64)) continue;
        try {
            indexes.emplace_back(entry->path(), ParseBuildIndex(*text));
        } catch (const std::exception&) {
        }
    }
    return indexes;
}

std::string IndexOfBuild(const fs::path& folder, const std::string& buildSha256) {
    std::string newest;
    fs::file_time_type newestTime;
    for (const auto& [file, index] : IndexesIn(folder)) {
        std::error_code error;
        const fs::file_time_type time = fs::last_write_time(file, error);
        if (index.buildSha256 != buildSha256 || (!newest.empty() && time <= newestTime)) continue;
        newest = file.stem().string();
        newestTime = time;
    }
    return newest;
}

std::set<std::string> LeftoverBuilds(const fs::path& folder) {
    std::set<std::string> leftovers;
    try {
        const std::optional<std::set<std::string>> recorded = ReadPublishedBuilds(folder);
        if (!recorded) return leftovers;
        std::set<std::string> named;
        for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
            if (auto live = ReadManifestFile(folder / kind->manifestPath)) {
                named.insert(NamedBuildName(*live));
            }
        }
        for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
            for (const BuildFile& build : BuildsOf(*kind, folder)) {
                if (recorded->count(build.name) == 0 && named.count(build.name) == 0) {
                    leftovers.insert(build.name);
                }
            }
        }
    } catch (const std::exception&) {
        leftovers.clear();
    }
    return leftovers;
}

FolderFiles ReadFolderFiles(const fs::path& folder, const std::set<std::string>& leaving) {
    std::vector<ManifestFields> live;
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        try {
            if (auto manifest = ReadManifestFile(folder / kind->manifestPath)) {
                live.push_back(*manifest);
            }
        } catch (const std::exception& error) {
            throw std::runtime_error("The " + std::string(kind->name) + " manifest " +
                                     (folder / kind->manifestPath).string() + " cannot be read (" +
                                     error.what() + ")");
        }
    }
    // Kept by name, each once, in the order they are found.
    std::map<std::string, ReleasePart> kept;
    std::vector<ReleasePart> builds, patches, indexes;
    const auto keep = [&](const ReleasePart& part) {
        if (part.name.empty() || leaving.count(part.name) != 0) return;
        if (!kept.emplace(part.name, part).second) return;
        (part.role == ReleasePart::Build   ? builds
         : part.role == ReleasePart::Patch ? patches
                                           : indexes)
            .push_back(part);
    };
    // A leftover build is not there for what it needs: its index and
    // patches are orphans.
    FolderFiles files;
    const std::set<std::string> leftovers = LeftoverBuilds(folder);
    files.leftovers.assign(leftovers.begin(), leftovers.end());
    std::set<std::string> present;
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        for (const BuildFile& build : BuildsOf(*kind, folder)) {
            if (leftovers.count(build.name) != 0) continue;
            present.insert(build.name);
            keep({ReleasePart::Build, build.name, build.sha256, ""});
        }
    }
    for (const auto& [file, index] : IndexesIn(folder)) {
        const std::string build = BuildFileName(GameKind(), index.version, index.buildSha256);
        if (present.count(build) == 0 || leaving.count(build) != 0) continue;
        for (const IndexPatch& patch : index.patches) {
            keep(
                {ReleasePart::Patch, PatchFileName(patch.sha256), patch.sha256, patch.fromVersion});
        }
        keep({ReleasePart::Index, file.filename().string(), file.stem().string(), ""});
    }
    for (const ManifestFields& manifest : live) {
        const ManifestParts parts = PartsOf(
            manifest, [&folder](const std::string& name) { return ReadIndexFile(folder, name); });
        for (const ReleasePart& part : parts.parts) {
            if (part.role != ReleasePart::Build || present.count(part.name) != 0) keep(part);
        }
    }
    files.kept = builds;
    files.kept.insert(files.kept.end(), patches.begin(), patches.end());
    files.kept.insert(files.kept.end(), indexes.begin(), indexes.end());
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator entry(folder / "builds", error), end; !error && entry != end;
         entry.increment(error)) {
        names.push_back(entry->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::error_code type;
        const bool file = fs::is_regular_file(fs::symlink_status(folder / "builds" / name, type));
        if (file &&
            (present.count(name) != 0 || kept.count(name) != 0 || leftovers.count(name) != 0)) {
            continue;
        }
        if (file && (IsDigestName(name, ".index") || IsDigestName(name, ".patch.zip"))) {
            files.orphans.push_back(name);
        } else if (present.count(name) == 0) {
            files.unknown.push_back(name);
        }
    }
    return files;
}

std::vector<std::string> RemoveOrphans(const fs::path& folder, const FolderFiles& files,
                                       bool dryRun) {
    if (!dryRun) {
        for (const std::string& name : files.orphans) fs::remove(folder / "builds" / name);
    }
    return files.orphans;
}

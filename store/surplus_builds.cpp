#include "store/surplus_builds.h"

#include <windows.h>

#include <algorithm>

#include "base/folder_walk.h"
#include "base/long_path.h"
#include "base/long_path_files.h"
#include "base/text.h"
#include "store/installed_versions.h"
#include "store/tree_removal.h"
#include "store/update_installation.h"
#include "format/windows_names.h"

namespace fs = std::filesystem;

std::vector<std::wstring> SurplusBuilds(std::vector<StoredBuild> builds, unsigned keep) {
    std::sort(builds.begin(), builds.end(), [](const StoredBuild& a, const StoredBuild& b) {
        if (IsNewerVersion(a.name, b.name)) return true;
        if (IsNewerVersion(b.name, a.name)) return false;
        if (a.created != b.created) return a.created > b.created;
        return a.name < b.name;  // one order whatever the listing's
    });
    std::vector<std::wstring> surplus;
    for (size_t i = keep; i < builds.size(); ++i) {
        if (!builds[i].protectedBuild) surplus.push_back(builds[i].name);
    }
    return surplus;
}

namespace {

// A build's folder name as NTFS matches names, from any spelling of its path
// (the long form where the path can be resolved: its last element may be an
// 8.3 alias).
std::string FolderKey(const fs::path& path) {
    fs::path normal = path.lexically_normal();
    if (!normal.has_filename()) normal = normal.parent_path();
    const std::wstring extended = LongPath(normal);
    std::wstring name = normal.filename().wstring();
    std::wstring resolved(32768, L'\0');
    const DWORD length = extended.empty() ? 0
                                          : GetLongPathNameW(extended.c_str(), resolved.data(),
                                                             static_cast<DWORD>(resolved.size()));
    if (length > 0 && length < resolved.size()) {
        name = fs::path(resolved.substr(0, length)).filename().wstring();
    }
    return FoldCaseAsNtfs(Utf16ToUtf8(name));
}

// Whether a process runs from the build: a mapped image refuses a write-open.
bool IsRunFrom(const fs::path& build) {
    for (const FolderEntry& entry : ListFolderAt(build).value_or(std::vector<FolderEntry>{})) {
        if (entry.IsFolder() || entry.IsLink() || entry.name.size() < 4) continue;
        const std::string extension =
            FoldCaseAsNtfs(Utf16ToUtf8(entry.name.substr(entry.name.size() - 4)));
        if (extension != ".EXE" && extension != ".DLL") continue;
        if (!OpenLongPathFile(build / entry.name, GENERIC_WRITE, ShareAllAccess, OPEN_EXISTING)) {
            return true;
        }
    }
    return false;
}

// The folders under "versions" that hold the game's executable; links and
// junctions are not builds this launcher stored.
std::vector<StoredBuild> ListStoredBuilds(const fs::path& versions,
                                          const std::vector<fs::path>& kept) {
    std::vector<std::string> keptKeys;
    for (const fs::path& path : kept) {
        if (!path.empty()) keptKeys.push_back(FolderKey(path));
    }
    std::vector<StoredBuild> builds;
    for (const FolderEntry& entry : ListFolderAt(versions).value_or(std::vector<FolderEntry>{})) {
        if (!entry.IsFolder() || entry.IsLink() ||
            !IsRegularFileAt(versions / entry.name / L"tessik.exe")) {
            continue;
        }
        const std::uint64_t created = FileTimeValue(entry.created);
        const std::string key = FoldCaseAsNtfs(Utf16ToUtf8(entry.name));
        const bool isKept = std::find(keptKeys.begin(), keptKeys.end(), key) != keptKeys.end();
        builds.push_back({entry.name, created, isKept});
    }
    return builds;
}

// Renames the build out of "versions" under a fresh staging folder's name;
// empty when the system refuses (a file inside is open).
fs::path MoveAside(const fs::path& build, const fs::path& root) {
    const std::wstring from = ExtendedLengthPath(build.wstring());
    std::uint64_t ticks = GetTickCount64();
    for (int name = 0; name < 16; ++name, ++ticks) {
        const fs::path aside = root / StagingFolderName(GetCurrentProcessId(), ticks);
        if (MoveFileExW(from.c_str(), ExtendedLengthPath(aside.wstring()).c_str(), 0)) {
            return aside;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
    }
    return {};
}

}  // namespace

std::vector<fs::path> MoveSurplusBuildsAside(const fs::path& root, std::optional<unsigned> keep,
                                             const std::vector<fs::path>& kept) noexcept {
    std::vector<fs::path> moved;
    if (!keep) return moved;
    try {
        const fs::path versions = root / L"versions";
        for (const std::wstring& name : SurplusBuilds(ListStoredBuilds(versions, kept), *keep)) {
            if (IsRunFrom(versions / name)) continue;
            fs::path aside = MoveAside(versions / name, root);
            if (!aside.empty()) moved.push_back(std::move(aside));
        }
    } catch (...) {
        // Keeping a build too many is harmless; the game starts all the same.
    }
    return moved;
}

void RemoveMovedBuilds(const std::vector<fs::path>& moved) noexcept {
    // What stays keeps a staging name of this process: a later installation
    // sweeps it.
    for (const fs::path& aside : moved) TryRemoveTree(aside);
}

#include <algorithm>
#include <optional>

#include "base/folder_walk.h"
#include "base/long_path_files.h"
#include "store/installed_versions.h"

namespace fs = std::filesystem;

std::vector<InstalledVersion> ListInstalledVersions(const fs::path& root) {
    std::vector<InstalledVersion> builds;
    const fs::path versions = root / L"versions";
    for (const FolderEntry& entry : ListFolderAt(versions).value_or(std::vector<FolderEntry>())) {
        const fs::path build = versions / entry.name;
        if (entry.IsFolder() && IsRegularFileAt(build / L"tessik.exe")) {
            builds.push_back({entry.name, build});
        }
    }
    std::sort(builds.begin(), builds.end(),
              [](const InstalledVersion& a, const InstalledVersion& b) {
                  return IsNewerVersion(a.name, b.name);
              });
    return builds;
}

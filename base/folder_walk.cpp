#include "base/folder_walk.h"

#include "base/long_path.h"
#include "base/scoped_handle.h"

namespace fs = std::filesystem;

std::optional<std::vector<FolderEntry>> ListFolderAt(const fs::path& folder) {
    const std::wstring text = LongPath(folder);
    if (text.empty()) return std::nullopt;
    WIN32_FIND_DATAW found{};
    const HANDLE raw = FindFirstFileExW((text + L"\\*").c_str(), FindExInfoBasic, &found,
                                        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (raw == INVALID_HANDLE_VALUE) return std::nullopt;
    const FindHandle search(raw);
    std::vector<FolderEntry> entries;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        entries.push_back({name, found.dwFileAttributes,
                           (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
                           found.ftLastWriteTime, found.ftCreationTime});
    } while (FindNextFileW(search.get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) return std::nullopt;
    return entries;
}

bool WalkFolderTree(const fs::path& top,
                    const std::function<void(const std::wstring&, const FolderEntry&)>& visit) {
    std::vector<std::wstring> pending{L""};
    while (!pending.empty()) {
        const std::wstring relative = std::move(pending.back());
        pending.pop_back();
        const std::optional<std::vector<FolderEntry>> entries =
            ListFolderAt(relative.empty() ? top : top / relative);
        if (!entries) return false;
        for (const FolderEntry& entry : *entries) {
            const std::wstring path = relative.empty() ? entry.name : relative + L"/" + entry.name;
            visit(path, entry);
            if (entry.IsFolder() && !entry.IsLink()) pending.push_back(path);
        }
    }
    return true;
}

#include "store/tree_removal.h"

#include <windows.h>

#include <functional>
#include <vector>

#include "base/launcher_error.h"
#include "base/scoped_handle.h"

std::wstring ExtendedLengthPath(const std::wstring& fullPath) {
    if (fullPath.rfind(LR"(\\?\)", 0) == 0) {
        return fullPath;
    }
    if (fullPath.rfind(LR"(\\)", 0) == 0) {
        return LR"(\\?\UNC\)" + fullPath.substr(2);
    }
    return LR"(\\?\)" + fullPath;
}

namespace {

constexpr char RemoveFailure[] = "Could not remove a folder in TESSIK storage";

// The absolute extended-length form, with "." and ".." resolved and slashes
// turned into backslashes (the extended form takes neither).
std::wstring FullExtendedPath(const std::filesystem::path& path) {
    const std::wstring text = path.wstring();
    const DWORD needed = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        throw LauncherError(RemoveFailure);
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(text.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        throw LauncherError(RemoveFailure);
    }
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\') {
        full.pop_back();
    }
    return ExtendedLengthPath(full);
}

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Calls `visit` with each entry directly inside `folder` (an extended path).
// False when the folder could not be listed.
bool ForEachChild(const std::wstring& folder,
                  const std::function<void(const std::wstring&, DWORD)>& visit) {
    WIN32_FIND_DATAW found{};
    const HANDLE raw = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (raw == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    FindHandle search(raw);
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") {
            visit(folder + L"\\" + found.cFileName, found.dwFileAttributes);
        }
    } while (FindNextFileW(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// Removes one entry whose attributes are known; false when anything failed.
bool RemoveEntry(const std::wstring& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        bool childrenRemoved = true;
        // A folder link or junction is removed as a link; only a real folder is entered.
        if (!IsLink(attributes)) {
            const bool listed =
                ForEachChild(path, [&](const std::wstring& child, DWORD childAttributes) {
                    childrenRemoved = RemoveEntry(child, childAttributes) && childrenRemoved;
                });
            childrenRemoved = childrenRemoved && listed;
        }
        return RemoveDirectoryW(path.c_str()) && childrenRemoved;
    }
    return DeleteFileW(path.c_str()) != FALSE;
}

bool IsAbsence(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

void RemoveTree(const std::filesystem::path& path) {
    const std::wstring full = FullExtendedPath(path);
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (IsAbsence(GetLastError())) {
            return;
        }
        throw LauncherError(RemoveFailure);
    }
    if (!RemoveEntry(full, attributes)) {
        throw LauncherError(RemoveFailure);
    }
}

bool TryRemoveTree(const std::filesystem::path& path) noexcept {
    try {
        RemoveTree(path);
        return true;
    } catch (...) {
        return false;
    }
}

bool TreeHoldsLink(const std::filesystem::path& path) {
    const std::wstring full = FullExtendedPath(path);
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    const std::function<bool(const std::wstring&, DWORD)> holdsLink = [&](const std::wstring& entry,
                                                                          DWORD entryAttributes) {
        if (IsLink(entryAttributes)) {
            return true;
        }
        if ((entryAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return false;
        }
        bool found = false;
        const bool listed =
            ForEachChild(entry, [&](const std::wstring& child, DWORD childAttributes) {
                found = found || holdsLink(child, childAttributes);
            });
        // A folder that cannot be read cannot be shown to be free of links.
        return found || !listed;
    };
    return holdsLink(full, attributes);
}

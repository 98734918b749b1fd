#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Listing folders by extended-length path (see base/long_path.h), so that a
// build's tree is read at any depth.

struct FolderEntry {
    std::wstring name;
    DWORD attributes = 0;
    uint64_t size = 0;
    FILETIME written{};
    FILETIME created{};
    bool IsFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    bool IsLink() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
};

// Every entry of a folder but "." and "..", in the order the file system
// gives them; empty when the folder is missing or cannot be read.
std::optional<std::vector<FolderEntry>> ListFolderAt(const std::filesystem::path& folder);

// Walks everything below `top`, without recursion: `visit` gets each entry's
// path relative to `top`, with "/" between elements, and the entry. A link or
// junction is reported but never entered. False when `top` or a folder in it
// could not be listed.
bool WalkFolderTree(const std::filesystem::path& top,
                    const std::function<void(const std::wstring&, const FolderEntry&)>& visit);

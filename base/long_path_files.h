#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/scoped_handle.h"

// Files and folders by extended-length path, so that no depth of a build's
// tree is out of reach (see base/long_path.h). Every call takes an ordinary
// path and turns it into its long form itself.

constexpr DWORD ShareAllAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// CreateFileW on the path's long form; an empty handle when it cannot be
// opened (the reason is the thread's last error).
KernelHandle OpenLongPathFile(const std::filesystem::path& path, DWORD access, DWORD share,
                              DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL);

// What the file system records for a path, without opening it.
struct PathFacts {
    DWORD attributes = 0;
    uint64_t size = 0;
    FILETIME written{};
    bool IsFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    bool IsLink() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool IsRegularFile() const { return !IsFolder() && !IsLink(); }
};

// Empty when the path does not exist or cannot be examined.
std::optional<PathFacts> ReadPathFacts(const std::filesystem::path& path);

// A file time as one number (100 ns units since 1601), and the time now so.
uint64_t FileTimeValue(const FILETIME& time);
uint64_t FileTimeNow();
bool IsRegularFileAt(const std::filesystem::path& path);
bool IsFolderAt(const std::filesystem::path& path);
bool PathExists(const std::filesystem::path& path);

// Creates one folder: true when made now, false when a folder stood there
// already. Fails with "Could not create a folder in TESSIK storage" otherwise.
bool CreateFolder(const std::filesystem::path& path);
// Creates a folder with every missing parent; one that exists is fine. Fails
// with "Could not create a folder in TESSIK storage".
void CreateFolders(const std::filesystem::path& path);

// Deletes one file; true when it is gone (a missing file counts as gone).
bool RemoveFileAt(const std::filesystem::path& path) noexcept;

// A whole file's bytes; empty when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);
// Replaces a file with `bytes`, flushed to disk before it is closed; fails
// with `failure`. The folder must exist.
void WriteWholeFile(const std::filesystem::path& path, const std::string& bytes,
                    const char* failure);

// The size of an open file; empty when it cannot be read.
std::optional<uint64_t> OpenFileSize(HANDLE file);
// Reads exactly `count` bytes at `offset` of an open file.
bool ReadFileRange(HANDLE file, uint64_t offset, char* into, size_t count);
// Reads an open file from its start to its end, handing each piece to `take`.
bool ReadWholeOpenFile(HANDLE file, const std::function<void(const char*, size_t)>& take);

enum class CopyOutcome { Copied, SourceFailed, DestinationFailed };
// Copies an open file's bytes from its start into another, handing each piece
// to `take` on its way.
CopyOutcome CopyOpenFile(HANDLE from, HANDLE to,
                         const std::function<void(const char*, size_t)>& take);

// Renames the file behind an open handle (opened with DELETE access), so the
// file renamed is the one held, whatever happened to its name meanwhile.
bool RenameOpenFile(HANDLE file, const std::filesystem::path& to, bool replace);

// MoveFileExW on both paths' long forms.
bool MoveLongPath(const std::filesystem::path& from, const std::filesystem::path& to, DWORD flags);

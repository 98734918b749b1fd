#include "store/tree_removal.h"

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include "base/launcher_error.h"
#include "base/long_path.h"
#include "base/scoped_handle.h"

namespace {

constexpr char RemoveFailure[] = "Could not remove a folder in TESSIK storage";
constexpr char ExamineFailure[] = "Could not examine the unpacked update";
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD ListingBufferSize = 64 * 1024;
constexpr NTSTATUS DeletePending = static_cast<NTSTATUS>(0xC0000056);
// FileDispositionInfoEx, which the headers name only for newer targets.
constexpr auto DispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// One entry of a folder as its listing showed it.
struct ListedEntry {
    std::wstring name;
    DWORD attributes = 0;
    LONGLONG id = 0;
};

// Every entry of an open folder, read by handle; empty when it cannot be read.
std::optional<std::vector<ListedEntry>> ListFolder(HANDLE folder) {
    std::vector<ListedEntry> entries;
    alignas(LONGLONG) static thread_local char buffer[ListingBufferSize];
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, request, buffer, ListingBufferSize)) {
        request = FileIdBothDirectoryInfo;
        for (size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
            const std::wstring_view name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                entries.push_back(
                    {std::wstring(name), entry->FileAttributes, entry->FileId.QuadPart});
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            offset += entry->NextEntryOffset;
        }
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        return std::nullopt;
    }
    return entries;
}

// Opens `name` inside the open `folder`, never through a link: a link or
// junction is opened as itself. Win32 opens only by full path, which a
// folder swapped for a link in the meantime would redirect.
// `pending` tells when the entry is already deleted and only waits for another
// program to close it: its name is as good as gone.
KernelHandle OpenChild(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG options,
                       bool* pending = nullptr) {
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE opened = nullptr;
    const NTSTATUS result = NtCreateFile(
        &opened, access | SYNCHRONIZE, &object, &status, nullptr, 0, ShareAll, FILE_OPEN,
        options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
            FILE_OPEN_FOR_BACKUP_INTENT,
        nullptr, 0);
    if (pending != nullptr) *pending = result == DeletePending;
    return KernelHandle(NT_SUCCESS(result) ? opened : nullptr);
}

// The top of a walk, opened by path as itself (not through a link).
KernelHandle OpenTop(const std::wstring& path, ACCESS_MASK access) {
    const HANDLE opened =
        CreateFileW(path.c_str(), access | SYNCHRONIZE, ShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return KernelHandle(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
}

// What an open handle refers to, read from the handle itself.
struct HeldEntry {
    HANDLE handle = nullptr;
    DWORD attributes = 0;
    // A link or junction, by the handle or by the listing (Wine marks a link
    // to a folder only in the listing and opens its target).
    bool link = false;
    // Not the object the listing showed: swapped since, for example for a link.
    bool swapped = false;
};

// Walks the tree below `top` depth first, without recursion, entering only
// real folders that are still the ones listed. `leaf` gets every entry not
// entered (a plain file only with `openFiles`, opened as a file, so a folder
// swapped in for it is not opened) and `folderDone` each entered folder after
// its content; either returns false to stop the walk. Returns false when
// stopped or when an entry could not be opened, examined or (a folder) listed.
bool WalkTree(KernelHandle top, DWORD topAttributes, ACCESS_MASK access, bool openFiles,
              const std::function<bool(const HeldEntry&)>& leaf,
              const std::function<bool(const HeldEntry&)>& folderDone) {
    struct Frame {
        KernelHandle folder;
        HeldEntry held;
        std::vector<ListedEntry> entries;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    bool complete = true;
    // Either enters the entry (pushes a frame) or hands it to `leaf`.
    const auto take = [&](KernelHandle handle, const ListedEntry& seen) {
        // Two queries, not GetFileInformationByHandle, which also reads the
        // volume and costs more than the deletion itself.
        FILE_ATTRIBUTE_TAG_INFO tag{};
        FILE_INTERNAL_INFORMATION internal{};
        IO_STATUS_BLOCK status{};
        if (!GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
            !NT_SUCCESS(NtQueryInformationFile(handle.get(), &status, &internal, sizeof(internal),
                                               FileInternalInformation))) {
            complete = false;
            return true;
        }
        const HeldEntry held{handle.get(), tag.FileAttributes,
                             IsLink(tag.FileAttributes) || IsLink(seen.attributes),
                             seen.id != 0 && seen.id != internal.IndexNumber.QuadPart};
        if (!IsFolder(held.attributes) || held.link || held.swapped) {
            return leaf(held);
        }
        std::optional<std::vector<ListedEntry>> entries = ListFolder(handle.get());
        if (!entries) {
            complete = false;
            return true;
        }
        stack.push_back({std::move(handle), held, std::move(*entries)});
        return true;
    };
    if (!take(std::move(top), {L"", topAttributes, 0})) {
        return false;
    }
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.entries.size()) {
            const bool go = folderDone(frame.held);
            stack.pop_back();
            if (!go) return false;
            continue;
        }
        const ListedEntry seen = frame.entries[frame.next++];
        if (!IsFolder(seen.attributes) && !IsLink(seen.attributes)) {
            if (!openFiles) continue;
            bool pending = false;
            KernelHandle file =
                OpenChild(frame.folder.get(), seen.name, access, FILE_NON_DIRECTORY_FILE, &pending);
            if (!file) {
                complete = complete && pending;
            } else if (!leaf({file.get(), seen.attributes, false, false})) {
                return false;
            }
            continue;
        }
        bool pending = false;
        KernelHandle child =
            OpenChild(frame.folder.get(), seen.name, access | FILE_LIST_DIRECTORY, 0, &pending);
        if (!child) {
            complete = complete && pending;
            continue;
        }
        if (!take(std::move(child), seen)) {
            return false;
        }
    }
    return complete;
}

// Cleared once Windows has answered that it has no POSIX deletion (before
// Windows 10 1709, and Wine).
std::atomic<bool> posixDeletion{true};

// Deletes the entry behind the handle (a link as itself), read-only or not.
// POSIX deletion takes the name away at once, even while a scanner holds the
// file, so its folder can go too and the name can be used again.
bool DeleteHeld(const HeldEntry& entry) {
    if (posixDeletion) {
        FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE |
                                       FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                       FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
        if (SetFileInformationByHandle(entry.handle, DispositionInfoEx, &posix, sizeof(posix))) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
            error == ERROR_INVALID_FUNCTION) {
            posixDeletion = false;
        }
    }
    if ((entry.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = entry.attributes & ~FILE_ATTRIBUTE_READONLY;
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(entry.handle, FileBasicInfo, &basic, sizeof(basic));
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(entry.handle, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != FALSE;
}

// A folder whose files are deleted but still held (the classic deletion keeps
// their names until a scanner closes them) is not empty yet: tried again for
// a few seconds, which outlasts a scanner's look at a fresh file.
bool DeleteFolderHeld(const HeldEntry& entry) {
    constexpr DWORD pauses[] = {20, 50, 100, 200, 400, 800, 1000, 1000};
    if (DeleteHeld(entry)) return true;
    for (const DWORD pause : pauses) {
        if (GetLastError() != ERROR_DIR_NOT_EMPTY) return false;
        Sleep(pause);
        if (DeleteHeld(entry)) return true;
    }
    return false;
}

bool IsAbsence(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The path opened for a walk; empty when it does not exist. `failure` when it
// exists but cannot be opened.
KernelHandle OpenWalkTop(const std::filesystem::path& path, ACCESS_MASK access, DWORD& attributes,
                         const char* failure) {
    const std::wstring full = LongPath(path);
    if (full.empty()) {
        throw LauncherError(failure);
    }
    attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && IsAbsence(GetLastError())) {
        return KernelHandle();
    }
    KernelHandle top = OpenTop(full, access | (IsFolder(attributes) ? FILE_LIST_DIRECTORY : 0));
    if (!top && !IsAbsence(GetLastError())) {
        throw LauncherError(failure);
    }
    return top;
}

}  // namespace

// One pass over the tree; false when the path still stands after it.
bool RemoveTreeOnce(const std::filesystem::path& path) {
    constexpr ACCESS_MASK access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    DWORD attributes = 0;
    KernelHandle top = OpenWalkTop(path, access, attributes, RemoveFailure);
    if (!top) {
        return true;
    }
    bool removed = true;
    const auto remove = [&](const HeldEntry& entry) {
        removed = DeleteHeld(entry) && removed;
        return true;
    };
    const auto removeFolder = [&](const HeldEntry& entry) {
        removed = DeleteFolderHeld(entry) && removed;
        return true;
    };
    // A folder swapped since it was listed is left alone, and counts as a failure.
    const auto leaf = [&](const HeldEntry& entry) {
        if (entry.swapped) {
            removed = false;
            return true;
        }
        return remove(entry);
    };
    if (!WalkTree(std::move(top), attributes, access, true, leaf, removeFolder) || !removed) {
        throw LauncherError(RemoveFailure);
    }
    // Wine takes a folder's deletion and drops it when the folder is closed
    // while a held file's name still stands in it.
    return GetFileAttributesW(LongPath(path).c_str()) == INVALID_FILE_ATTRIBUTES;
}

void RemoveTree(const std::filesystem::path& path) {
    constexpr DWORD pauses[] = {50, 100, 200, 400, 800, 1000, 1000};
    if (RemoveTreeOnce(path)) return;
    for (const DWORD pause : pauses) {
        Sleep(pause);
        if (RemoveTreeOnce(path)) return;
    }
    throw LauncherError(RemoveFailure);
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
    DWORD attributes = 0;
    KernelHandle top = OpenWalkTop(path, FILE_READ_ATTRIBUTES, attributes, ExamineFailure);
    if (!top) {
        return false;
    }
    bool found = false;
    // Something swapped while it was being examined is treated as the link it most likely is.
    const auto leaf = [&](const HeldEntry& entry) {
        found = entry.link || entry.swapped;
        return !found;
    };
    // A file the listing shows as plain needs no second look.
    const bool complete = WalkTree(std::move(top), attributes, FILE_READ_ATTRIBUTES, false, leaf,
                                   [](const HeldEntry&) { return true; });
    if (found) {
        return true;
    }
    // A folder that cannot be read cannot be shown to be free of links.
    if (!complete) {
        throw LauncherError(ExamineFailure);
    }
    return false;
}

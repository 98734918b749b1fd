#include "base/long_path_files.h"

#include <winternl.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/file_read_ahead.h"
#include "base/launcher_error.h"
#include "base/long_path.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t FileBufferSize = 1 << 20;
// From this size a file is read ahead on a second thread (in two halves of
// the buffer, so a reading holds no more memory); below it, starting the
// thread costs more than it saves.
constexpr uint64_t ReadAheadFrom = 8 << 20;
constexpr char FolderFailure[] = "Could not create a folder in TESSIK storage";

}  // namespace

KernelHandle OpenLongPathFile(const fs::path& path, DWORD access, DWORD share, DWORD disposition,
                              DWORD flags) {
    const std::wstring text = LongPath(path);
    if (text.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return KernelHandle();
    }
    const HANDLE opened =
        CreateFileW(text.c_str(), access, share, nullptr, disposition, flags, nullptr);
    return KernelHandle(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
}

uint64_t FileTimeValue(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

uint64_t FileTimeNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return FileTimeValue(now);
}

std::optional<PathFacts> ReadPathFacts(const fs::path& path) {
    const std::wstring text = LongPath(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (text.empty() || !GetFileAttributesExW(text.c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return PathFacts{data.dwFileAttributes,
                     (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
                     data.ftLastWriteTime};
}

bool IsRegularFileAt(const fs::path& path) {
    const std::optional<PathFacts> facts = ReadPathFacts(path);
    return facts && facts->IsRegularFile();
}

bool IsFolderAt(const fs::path& path) {
    const std::optional<PathFacts> facts = ReadPathFacts(path);
    return facts && facts->IsFolder();
}

bool PathExists(const fs::path& path) { return ReadPathFacts(path).has_value(); }

bool CreateFolder(const fs::path& path) {
    const std::wstring text = LongPath(path);
    if (!text.empty() && CreateDirectoryW(text.c_str(), nullptr)) {
        return true;
    }
    if (IsFolderAt(path)) {
        return false;
    }
    throw LauncherError(FolderFailure);
}

void CreateFolders(const fs::path& path) {
    const std::wstring full = LongPath(path);
    if (full.empty()) {
        throw LauncherError(FolderFailure);
    }
    // Where the volume's root ends: "\\?\C:\" or "\\?\UNC\server\share\".
    size_t rootEnd = std::wstring::npos;
    if (full.rfind(LR"(\\?\UNC\)", 0) == 0) {
        const size_t server = full.find(L'\\', 8);
        if (server != std::wstring::npos) rootEnd = full.find(L'\\', server + 1);
    } else {
        rootEnd = full.find(L'\\', 4);
    }
    if (rootEnd == std::wstring::npos || rootEnd + 1 >= full.size()) {
        return;  // a volume's root
    }
    // Where each folder's name ends, outermost first.
    std::vector<size_t> ends;
    for (size_t at = rootEnd + 1; at <= full.size();) {
        size_t next = full.find(L'\\', at);
        if (next == std::wstring::npos) next = full.size();
        ends.push_back(next);
        at = next + 1;
    }
    size_t existing = ends.size();
    while (existing > 0 && !IsFolderAt(full.substr(0, ends[existing - 1]))) --existing;
    for (size_t i = existing; i < ends.size(); ++i) {
        CreateFolder(full.substr(0, ends[i]));
    }
}

bool RemoveFileAt(const fs::path& path) noexcept {
    try {
        const std::wstring text = LongPath(path);
        if (text.empty()) return false;
        if (DeleteFileW(text.c_str())) return true;
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    } catch (...) {
        return false;
    }
}

std::optional<std::string> ReadWholeFile(const fs::path& path) {
    const KernelHandle file = OpenLongPathFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (!file) return std::nullopt;
    std::string bytes;
    if (!ReadWholeOpenFile(file.get(),
                           [&](const char* piece, size_t count) { bytes.append(piece, count); })) {
        return std::nullopt;
    }
    return bytes;
}

void WriteWholeFile(const fs::path& path, const std::string& bytes, const char* failure) {
    const KernelHandle out = OpenLongPathFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (!out) throw LauncherError(failure);
    DWORD written = 0;
    // Flushed before it is closed, so that a file renamed into place after
    // this call holds its bytes on disk, not only in the cache.
    if (bytes.size() > MAXDWORD ||
        !WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(out.get())) {
        throw LauncherError(failure);
    }
}

std::optional<uint64_t> OpenFileSize(HANDLE file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0) return std::nullopt;
    return static_cast<uint64_t>(size.QuadPart);
}

bool ReadFileRange(HANDLE file, uint64_t offset, char* into, size_t count) {
    while (count > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD asked = static_cast<DWORD>(std::min<size_t>(count, FileBufferSize));
        DWORD got = 0;
        if (!ReadFile(file, into, asked, &got, &at) || got == 0) return false;
        into += got;
        offset += got;
        count -= got;
    }
    return true;
}

bool ReadWholeOpenFile(HANDLE file, const std::function<void(const char*, size_t)>& take) {
    const uint64_t fileSize = OpenFileSize(file).value_or(FileBufferSize);
    if (fileSize >= ReadAheadFrom) return ReadFileAhead(file, FileBufferSize / 2, take);
    // Sized to the file and left uninitialised: a build holds thousands of
    // small files, and a fresh 1 MiB for each cost more than reading them.
    const size_t size =
        static_cast<size_t>(std::clamp<uint64_t>(fileSize + 1, 4096, FileBufferSize));
    const std::unique_ptr<char[]> buffer(new char[size]);
    for (uint64_t offset = 0;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file, buffer.get(), static_cast<DWORD>(size), &got, &at)) {
            return GetLastError() == ERROR_HANDLE_EOF;
        }
        if (got == 0) return true;
        take(buffer.get(), got);
        offset += got;
    }
}

CopyOutcome CopyOpenFile(HANDLE from, HANDLE to,
                         const std::function<void(const char*, size_t)>& take) {
    bool written = true;
    const bool read = ReadWholeOpenFile(from, [&](const char* piece, size_t count) {
        if (!written) return;
        take(piece, count);
        DWORD done = 0;
        written = WriteFile(to, piece, static_cast<DWORD>(count), &done, nullptr) && done == count;
    });
    if (!read) return CopyOutcome::SourceFailed;
    return written ? CopyOutcome::Copied : CopyOutcome::DestinationFailed;
}

bool RenameOpenFile(HANDLE file, const fs::path& to, bool replace) {
    // The native call takes the NT form of the path, the same on every
    // Windows and under Wine; the Win32 wrapper's handling of the name differs.
    std::wstring target = LongPath(to);
    if (target.empty()) return false;
    target.replace(0, 4, LR"(\??\)");
    std::vector<char> buffer(sizeof(FILE_RENAME_INFORMATION) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<ULONG>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), rename->FileName);
    IO_STATUS_BLOCK status{};
    return NT_SUCCESS(NtSetInformationFile(file, &status, rename, static_cast<ULONG>(buffer.size()),
                                           FileRenameInformation));
}

bool MoveLongPath(const fs::path& from, const fs::path& to, DWORD flags) {
    const std::wstring source = LongPath(from);
    const std::wstring target = LongPath(to);
    if (source.empty() || target.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    return MoveFileExW(source.c_str(), target.c_str(), flags) != FALSE;
}

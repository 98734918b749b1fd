#include "store/held_file_bytes.h"

#include <algorithm>
#include <optional>

#include "base/launcher_error.h"
#include "base/long_path_files.h"

void HeldFileRange::ReadAt(uint64_t offset, char* into, size_t count) {
    if (!ReadFileRange(file_, offset, into, count)) throw LauncherError(failure_);
}

size_t HeldFileStream::Read(char* into, size_t most) {
    DWORD read = 0;
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(most, 1u << 30));
    if (!ReadFile(file_, into, ask, &read, nullptr)) throw LauncherError(failure_);
    return read;
}

void HashingFileSink::Write(const char* data, size_t count) {
    hash_.Add(data, count);
    while (count > 0) {
        DWORD written = 0;
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(count, 1u << 30));
        if (!WriteFile(file_, data, ask, &written, nullptr) || written == 0) {
            throw LauncherError(failure_);
        }
        data += written;
        count -= written;
    }
}

std::string HashingFileSink::FinishHex() { return hash_.FinishHex(); }

std::vector<ZipEntry> ReadHeldZipDirectory(HANDLE file) {
    const std::optional<uint64_t> size = file ? OpenFileSize(file) : std::nullopt;
    HeldFileRange source(file, "The update archive is not a readable zip");
    // An unknown size reads as an empty source, which the reader refuses as
    // any broken zip.
    return ReadZipDirectory(source, size.value_or(0));
}

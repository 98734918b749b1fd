#include "store/disk_space.h"

#include <windows.h>

#include <limits>

#include "base/long_path.h"
#include "service/https_transfer.h"

namespace fs = std::filesystem;

std::uint64_t DownloadNeeds(std::uint64_t remaining, std::uint64_t archiveLength,
                            std::optional<std::uint64_t> unpacked) {
    const std::uint64_t afterwards = unpacked ? *unpacked : archiveLength;
    if (afterwards > std::numeric_limits<std::uint64_t>::max() - remaining) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return remaining + afterwards;
}

std::optional<std::uint64_t> FreeBytesForCaller(const fs::path& root) {
    // The folder itself may not exist yet: the nearest one that does.
    fs::path folder = root;
    for (;;) {
        std::wstring name = ExtendedLengthPath(folder.wstring());
        if (name.back() != L'\\') name += L'\\';
        ULARGE_INTEGER available{};
        if (GetDiskFreeSpaceExW(name.c_str(), &available, nullptr, nullptr)) {
            return available.QuadPart;
        }
        if (folder == folder.root_path() || !folder.has_parent_path()) {
            return std::nullopt;
        }
        folder = folder.parent_path();
    }
}

void RequireFreeSpace(const fs::path& root, std::uint64_t needed) {
    const std::optional<std::uint64_t> available = FreeBytesForCaller(root);
    if (available && needed > *available) {
        throw DiskSpaceError(NotEnoughSpaceSentence);
    }
}

std::function<void(std::uint64_t, std::uint64_t)> BuildDownloadFits(
    const fs::path& root, std::optional<std::uint64_t> unpacked) {
    return [root, unpacked](std::uint64_t remaining, std::uint64_t total) {
        RequireFreeSpace(root, DownloadNeeds(remaining, total, unpacked));
    };
}

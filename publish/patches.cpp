#include "publish/patches.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <stdexcept>

uint64_t WritePatch(const std::filesystem::path& build, const std::vector<ZipEntry>& entries,
                    const std::vector<IndexFile>& files, const ByteSink& out) {
    std::set<std::string> wanted;
    for (const IndexFile& file : files) wanted.insert(file.path);
    const int fd = out ? ::open(build.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (out && fd < 0) throw std::runtime_error("Cannot read " + build.string());
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{fd};
    ZipWriter zip(out);
    std::vector<char> buffer(out ? 1 << 20 : 0);
    for (const ZipEntry& entry : entries) {
        // libarchive, which made the index, lists the Unicode path when there is one.
        const std::string& name = entry.unicodePath.empty() ? entry.name : entry.unicodePath;
        if (entry.isFolder || wanted.erase(name) == 0) continue;
        zip.Begin({name, entry.method, entry.crc, entry.compressedSize, entry.size});
        if (!out) {
            zip.SkipData(entry.compressedSize);
            continue;
        }
        for (uint64_t at = entry.dataOffset, left = entry.compressedSize; left > 0;) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
            const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(at));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) throw std::runtime_error("Cannot read " + build.string());
            zip.Data(buffer.data(), static_cast<size_t>(got));
            at += static_cast<uint64_t>(got);
            left -= static_cast<uint64_t>(got);
        }
    }
    if (!wanted.empty()) {
        throw std::runtime_error("The build holds no entry \"" + *wanted.begin() +
                                 "\" that its index lists");
    }
    return zip.Finish();
}

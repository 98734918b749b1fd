#include "publish/build_folder.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t ChunkSize = 1 << 20;

struct TreeEntry {
    std::string name;  // relative, "/" between elements; a folder's ends with "/"
    fs::path file;
};

[[noreturn]] void Refuse(const std::string& name, const std::string& why) {
    throw std::runtime_error("The build folder's entry \"" + name + "\" " + why);
}

// Every file, and every folder that holds nothing, without following links.
void List(const fs::path& folder, const std::string& prefix, std::vector<TreeEntry>& entries) {
    std::error_code error;
    bool empty = true;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        empty = false;
        const std::string name = prefix + entry->path().filename().string();
        const fs::file_status status = fs::symlink_status(entry->path(), error);
        if (fs::is_symlink(status))
            Refuse(name, "is a link; the launcher refuses a build that holds links");
        if (fs::is_directory(status)) {
            List(entry->path(), name + "/", entries);
        } else if (fs::is_regular_file(status)) {
            entries.push_back({name, entry->path()});
        } else {
            Refuse(name, "is neither a file nor a folder");
        }
    }
    if (error) throw std::runtime_error("Cannot read " + folder.string());
    if (empty && !prefix.empty()) entries.push_back({prefix, folder});
}

// Reads the file whole, chunk by chunk.
void ReadFile(const TreeEntry& entry, const std::function<void(const char*, size_t)>& take) {
    const int fd = ::open(entry.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("Cannot read " + entry.file.string());
    std::vector<char> buffer(ChunkSize);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            throw std::runtime_error("Cannot read " + entry.file.string());
        }
        if (got == 0) break;
        take(buffer.data(), static_cast<size_t>(got));
    }
    ::close(fd);
}

// Raw deflate of one file, each output chunk handed to `put`; returns the
// CRC and sizes of what was read.
ZipRecord Deflate(const TreeEntry& entry, const std::function<void(const char*, size_t)>& put) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("Cannot pack " + entry.name);
    }
    struct Ender {
        z_stream* stream;
        ~Ender() { deflateEnd(stream); }
    } ender{&stream};
    ZipRecord record{entry.name, 8, 0, 0, 0};
    std::vector<char> out(ChunkSize);
    const auto pump = [&](const char* data, size_t size, int flush) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream.avail_in = static_cast<uInt>(size);
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = static_cast<uInt>(out.size());
            deflate(&stream, flush);
            const size_t made = out.size() - stream.avail_out;
            record.compressedSize += made;
            if (made > 0) put(out.data(), made);
        } while (stream.avail_out == 0);
    };
    ReadFile(entry, [&](const char* data, size_t size) {
        record.crc = static_cast<uint32_t>(
            crc32(record.crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
        record.size += size;
        pump(data, size, Z_NO_FLUSH);
    });
    pump(nullptr, 0, Z_FINISH);
    return record;
}

}  // namespace

void WriteBuildFolder(const fs::path& tree, const BytesOut& out) {
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(tree, error))) {
        throw std::runtime_error("Cannot read " + tree.string());
    }
    std::vector<TreeEntry> entries;
    List(tree, "", entries);
    std::sort(entries.begin(), entries.end(),
              [](const TreeEntry& a, const TreeEntry& b) { return a.name < b.name; });
    ZipWriter zip(out);
    for (const TreeEntry& entry : entries) {
        if (entry.name.back() == '/') {
            zip.Begin({entry.name, 0, 0, 0, 0});
            continue;
        }
        // Sized first, so the local header carries the real sizes and the
        // method that gains.
        const ZipRecord packed = Deflate(entry, [](const char*, size_t) {});
        const bool stored = packed.compressedSize >= packed.size;
        ZipRecord record = packed;
        if (stored) {
            record.method = 0;
            record.compressedSize = packed.size;
        }
        zip.Begin(record);
        uint64_t written = 0;
        const auto put = [&](const char* data, size_t size) {
            written += size;
            if (written <= record.compressedSize) zip.Data(data, size);
        };
        const ZipRecord again = stored ? [&] {
            ZipRecord read{entry.name, 0, 0, 0, 0};
            ReadFile(entry, [&](const char* data, size_t size) {
                read.crc = static_cast<uint32_t>(crc32(
                    read.crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
                read.size += size;
                put(data, size);
            });
            return read;
        }()
                                       : Deflate(entry, put);
        if (again.crc != record.crc || again.size != record.size ||
            written != record.compressedSize) {
            Refuse(entry.name, "changed while it was read; publish the folder when it is still");
        }
    }
    zip.Finish();
}

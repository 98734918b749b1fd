#include "publish/build_entries.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <random>
#include <stdexcept>

#include "publish/release_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t ChunkSize = 1 << 20;

[[noreturn]] void Damaged(const std::string& name) {
    throw std::runtime_error("The archive is damaged at \"" + name + "\"");
}

}  // namespace

FileRange::FileRange(const fs::path& file, uint64_t base)
    : file_(file), fd_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)), base_(base) {
    if (fd_ < 0) throw std::runtime_error("Cannot read " + file.string());
}

FileRange::~FileRange() { ::close(fd_); }

void FileRange::ReadAt(uint64_t offset, char* into, size_t count) {
    offset += base_;
    while (count > 0) {
        const ssize_t got = ::pread(fd_, into, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) throw std::runtime_error("Cannot read " + file_.string());
        into += got;
        count -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
}

struct EntryStream::Inflater {
    z_stream stream{};
    Inflater() {
        if (inflateInit2(&stream, -15) != Z_OK) throw std::bad_alloc();
    }
    ~Inflater() { inflateEnd(&stream); }
};

EntryStream::EntryStream(ByteRangeSource& zip, const ZipEntry& entry) : zip_(zip), entry_(entry) {
    if (entry.method == 8) {
        // Small entries are many: their buffer is no larger than they are.
        packed_.resize(static_cast<size_t>(std::min<uint64_t>(ChunkSize, entry.compressedSize)));
        inflater_ = std::make_unique<Inflater>();
    } else if (entry.method != 0) {
        Damaged(IndexNameOf(entry));
    }
}

EntryStream::~EntryStream() = default;

size_t EntryStream::Read(char* into, size_t most) {
    if (most == 0 || unpacked_ == entry_.size) return 0;
    most = static_cast<size_t>(std::min<uint64_t>(most, entry_.size - unpacked_));
    if (!inflater_) {
        zip_.ReadAt(entry_.dataOffset + read_, into, most);
        read_ += most;
        unpacked_ += most;
        return most;
    }
    z_stream& stream = inflater_->stream;
    stream.next_out = reinterpret_cast<Bytef*>(into);
    stream.avail_out = static_cast<uInt>(std::min<size_t>(most, UINT32_MAX));
    while (stream.avail_out == most) {
        if (stream.avail_in == 0) {
            const size_t want = static_cast<size_t>(
                std::min<uint64_t>(packed_.size(), entry_.compressedSize - read_));
            if (want == 0) Damaged(IndexNameOf(entry_));
            zip_.ReadAt(entry_.dataOffset + read_, packed_.data(), want);
            read_ += want;
            stream.next_in = reinterpret_cast<Bytef*>(packed_.data());
            stream.avail_in = static_cast<uInt>(want);
        }
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) Damaged(IndexNameOf(entry_));
        if (status == Z_STREAM_END && stream.avail_out == most) Damaged(IndexNameOf(entry_));
    }
    const size_t made = most - stream.avail_out;
    unpacked_ += made;
    return made;
}

const std::string& IndexNameOf(const ZipEntry& entry) {
    // The directory reader refuses a Unicode path field that names it otherwise.
    return entry.name;
}

EarlierFiles::EarlierFiles(const fs::path& zip, const std::vector<ZipEntry>& entries,
                           const std::vector<std::string>& paths, fs::path scratch)
    : zip_(zip),
      zipFile_(zip),
      scratch_(std::move(scratch)),
      open_(paths.size()),
      unpacked_(paths.size()) {
    std::map<std::string, const ZipEntry*> byName;
    for (const ZipEntry& entry : entries) {
        if (!entry.isFolder) byName.emplace(IndexNameOf(entry), &entry);
    }
    for (const std::string& path : paths) {
        const auto found = byName.find(path);
        if (found == byName.end()) {
            throw std::runtime_error("The build holds no entry \"" + path +
                                     "\" that its index lists");
        }
        entries_.push_back(found->second);
    }
}

EarlierFiles::~EarlierFiles() {
    open_.clear();
    for (const fs::path& file : unpacked_) {
        if (!file.empty()) ::unlink(file.c_str());
    }
}

ByteRangeSource& EarlierFiles::At(uint32_t source) {
    if (open_[source]) return *open_[source];
    const ZipEntry& entry = *entries_[source];
    if (entry.method == 0) {
        open_[source] = std::make_unique<FileRange>(zip_, entry.dataOffset);
        return *open_[source];
    }
    // A deflated entry cannot be read at an offset: it is unpacked once.
    fs::create_directories(scratch_);
    std::random_device random;
    const fs::path file =
        scratch_ / (std::to_string(::getpid()) + "-" + std::to_string(random()) + "-source.part");
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("Cannot write " + file.string());
    unpacked_[source] = file;
    try {
        EntryStream in(zipFile_, entry);
        std::vector<char> buffer(ChunkSize);
        for (size_t got; (got = in.Read(buffer.data(), buffer.size())) > 0;) {
            for (size_t done = 0; done < got;) {
                const ssize_t put = ::write(fd, buffer.data() + done, got - done);
                if (put < 0 && errno == EINTR) continue;
                if (put < 0 && errno == ENOSPC) throw std::runtime_error(DiskFullSentence);
                if (put <= 0) throw std::runtime_error("Cannot write " + file.string());
                done += static_cast<size_t>(put);
            }
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) throw std::runtime_error("Cannot write " + file.string());
    open_[source] = std::make_unique<FileRange>(file);
    return *open_[source];
}

#include "publish/release_folder.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

constexpr size_t CopyBufferSize = 1 << 20;
constexpr char IncomingFolder[] = ".incoming";

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// A full disk is named as such; the file's name says nothing to the engineer.
[[noreturn]] void WriteFailed(const fs::path& file) {
    if (errno == ENOSPC || errno == EDQUOT) throw std::runtime_error(DiskFullSentence);
    throw std::runtime_error("Cannot write " + file.string());
}

void WriteAll(int fd, const char* data, size_t size, const fs::path& file) {
    while (size > 0) {
        const ssize_t wrote = ::write(fd, data, size);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) WriteFailed(file);
        data += wrote;
        size -= static_cast<size_t>(wrote);
    }
}

// Reads the open file `fd` (named `file` in errors) to its end, handing each
// chunk to `take`.
void ReadChunks(int fd, const fs::path& file,
                const std::function<void(const char*, size_t)>& take) {
    std::vector<char> buffer(CopyBufferSize);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::runtime_error("Cannot read " + file.string());
        if (got == 0) return;
        take(buffer.data(), static_cast<size_t>(got));
    }
}

void SyncFolder(const fs::path& folder) {
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (fd.get() >= 0) ::fsync(fd.get());
}

fs::path NewIncomingPath(const fs::path& folder) {
    const fs::path incoming = folder / IncomingFolder;
    fs::create_directories(incoming);
    std::random_device random;
    return incoming / (std::to_string(::getpid()) + "-" + std::to_string(random()) + ".part");
}

// Flushes and closes the new file, naming a full disk (a file system may
// report it only now).
void Finish(Descriptor& out, const fs::path& file) {
    errno = 0;
    if (::fsync(out.get()) != 0 || !out.Close()) WriteFailed(file);
}

}  // namespace

const char DiskFullSentence[] = "No space left on the release folder's disk";

void RequireFreeSpace(const fs::path& folder, uint64_t bytes) {
    fs::path existing = folder;
    std::error_code error;
    while (!existing.empty() && !fs::exists(existing, error)) existing = existing.parent_path();
    struct statvfs disk {};
    if (::statvfs(existing.empty() ? "." : existing.c_str(), &disk) != 0) return;
    const uint64_t free = uint64_t{disk.f_bavail} * disk.f_frsize;
    if (free >= bytes) return;
    throw std::runtime_error(std::string(DiskFullSentence) + ": this publish needs " +
                             std::to_string(bytes) + " bytes and " + std::to_string(free) +
                             " are free");
}

// The OpenSSL body of the one SHA-256 face.
struct Sha256::State {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context{EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free};
};

Sha256::Sha256(const char*) : state_(std::make_unique<State>()) {
    if (!state_->context) throw std::bad_alloc();
    EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* bytes, size_t count) {
    EVP_DigestUpdate(state_->context.get(), bytes, count);
}

std::array<unsigned char, 32> Sha256::Finish() {
    std::array<unsigned char, 32> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length);
    return digest;
}

std::string Sha256::FinishHex() {
    const std::array<unsigned char, 32> digest = Finish();
    return LowerHex(digest.data(), digest.size());
}

const ReleaseKind& GameKind() {
    static const ReleaseKind kind{"game", "release/windows-x86_64-manifest.json", "tessik", ".zip",
                                  "tessik.exe"};
    return kind;
}

const ReleaseKind& LauncherKind() {
    static const ReleaseKind kind{"launcher", "release/windows-launcher-x86_64-manifest.json",
                                  "TESSIK-Launcher-Windows-x64", ".exe",
                                  "TESSIK-Launcher-Windows-x64.exe"};
    return kind;
}

std::string BuildFileName(const ReleaseKind& kind, const std::string& version,
                          const std::string& sha256) {
    return std::string(kind.stem) + "-" + version + "-" + sha256 + kind.extension;
}

std::optional<BuildFile> ParseBuildFileName(const ReleaseKind& kind, const fs::path& file) {
    const std::string name = file.filename().string();
    const std::string stem = std::string(kind.stem) + "-";
    const std::string extension = kind.extension;
    if (name.size() < stem.size() + 1 + 65 + extension.size() || name.rfind(stem, 0) != 0 ||
        name.compare(name.size() - extension.size(), extension.size(), extension) != 0) {
        return std::nullopt;
    }
    const size_t digestAt = name.size() - extension.size() - 64;
    const std::string sha256 = name.substr(digestAt, 64);
    if (!IsSha256Hex(sha256) || name[digestAt - 1] != '-') return std::nullopt;
    return BuildFile{file, name, name.substr(stem.size(), digestAt - 1 - stem.size()), sha256};
}

std::vector<BuildFile> BuildsOf(const ReleaseKind& kind, const fs::path& folder) {
    std::vector<BuildFile> builds;
    std::error_code error;
    for (fs::directory_iterator entry(folder / "builds", error), end; !error && entry != end;
         entry.increment(error)) {
        if (!entry->is_regular_file()) continue;
        if (auto build = ParseBuildFileName(kind, entry->path())) builds.push_back(*build);
    }
    std::sort(builds.begin(), builds.end(),
              [](const BuildFile& a, const BuildFile& b) { return a.name < b.name; });
    return builds;
}

std::string Sha256OfFile(const fs::path& file) {
    Descriptor in(::open(file.c_str(), O_RDONLY));
    if (in.get() < 0) throw std::runtime_error("Cannot read " + file.string());
    Sha256 digest;
    ReadChunks(in.get(), file, [&](const char* data, size_t size) { digest.Add(data, size); });
    return digest.FinishHex();
}

void IncomingFile::Prepare(const fs::path& folder) {
    if (!fs::exists(folder)) createdFolder_ = folder;
    try {
        path_ = NewIncomingPath(folder);
    } catch (...) {
        Cleanup();
        throw;
    }
}

IncomingFile::IncomingFile(const fs::path& folder, const fs::path& source) {
    Descriptor in(::open(source.c_str(), O_RDONLY));
    if (in.get() < 0 || fs::is_directory(source)) {
        throw std::runtime_error("Cannot read " + source.string());
    }
    Write(folder, [&](const BytesOut& out) { ReadChunks(in.get(), source, out); });
}

IncomingFile::IncomingFile(const fs::path& folder, const std::string& bytes) {
    Write(folder, [&](const BytesOut& out) { out(bytes.data(), bytes.size()); });
}

IncomingFile::IncomingFile(const fs::path& folder,
                           const std::function<void(const BytesOut&)>& produce) {
    Write(folder, produce);
}

void IncomingFile::Write(const fs::path& folder,
                         const std::function<void(const BytesOut&)>& produce) {
    Prepare(folder);
    Sha256 digest;
    try {
        Descriptor out(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
        if (out.get() < 0) WriteFailed(path_);
        produce([&](const char* data, size_t size) {
            digest.Add(data, size);
            WriteAll(out.get(), data, size, path_);
            size_ += size;
        });
        Finish(out, path_);
    } catch (...) {
        Cleanup();
        throw;
    }
    sha256_ = digest.FinishHex();
}

IncomingFile::~IncomingFile() { Cleanup(); }

void IncomingFile::Cleanup() noexcept {
    std::error_code ignored;
    if (!moved_) fs::remove(path_, ignored);
    // The private folder goes when it is empty (another run may be using it).
    fs::remove(path_.parent_path(), ignored);
    if (!createdFolder_.empty()) fs::remove(createdFolder_, ignored);
}

void IncomingFile::MoveTo(const fs::path& target) {
    fs::create_directories(target.parent_path());
    fs::rename(path_, target);
    moved_ = true;
    SyncFolder(target.parent_path());
}

int CompareVersions(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        const size_t endA = std::min(a.find('.', i), a.size());
        const size_t endB = std::min(b.find('.', j), b.size());
        const std::string partA = i < a.size() ? a.substr(i, endA - i) : "";
        const std::string partB = j < b.size() ? b.substr(j, endB - j) : "";
        const bool numbers = !partA.empty() && !partB.empty() &&
                             partA.find_first_not_of("0123456789") == std::string::npos &&
                             partB.find_first_not_of("0123456789") == std::string::npos;
        if (numbers) {
            const std::string trimmedA =
                partA.substr(std::min(partA.find_first_not_of('0'), partA.size()));
            const std::string trimmedB =
                partB.substr(std::min(partB.find_first_not_of('0'), partB.size()));
            if (trimmedA.size() != trimmedB.size())
                return trimmedA.size() < trimmedB.size() ? -1 : 1;
            if (trimmedA != trimmedB) return trimmedA < trimmedB ? -1 : 1;
        } else if (partA != partB) {
            return partA < partB ? -1 : 1;
        }
        i = endA + 1;
        j = endB + 1;
    }
    return 0;
}

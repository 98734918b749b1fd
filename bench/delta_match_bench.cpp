// The release tool's block matcher on a packed game of about 1 GiB: four packs
// of random bytes and 2,000 small files; the next build overwrites 1 MiB in one
// pack, inserts 512 KiB near the start of another, appends 1 MiB to a third,
// changes 20 small files and adds 2. Prints one CSV line:
//   delta_match,<build bytes>,<table seconds>,<match seconds>,<changed bytes>,
//   <literal bytes>,<peak RSS bytes>,<CPU seconds of both steps>
// Usage: delta_match_bench FOLDER [PACK_MIB]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "publish/delta_matcher.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t MiB = 1 << 20;

class File {
  public:
    explicit File(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY)) {
        if (fd_ < 0) throw std::runtime_error("cannot open " + path.string());
    }
    ~File() { ::close(fd_); }
    int fd() const { return fd_; }

  private:
    int fd_;
};

class FileRange : public ByteRangeSource {
  public:
    explicit FileRange(const fs::path& path) : file_(path) {}
    void ReadAt(uint64_t offset, char* into, size_t count) override {
        while (count > 0) {
            const ssize_t got = ::pread(file_.fd(), into, count, static_cast<off_t>(offset));
            if (got <= 0) throw std::runtime_error("short read");
            into += got;
            count -= static_cast<size_t>(got);
            offset += static_cast<uint64_t>(got);
        }
    }

  private:
    File file_;
};

class FileStream : public ByteStream {
  public:
    explicit FileStream(const fs::path& path) : file_(path) {}
    size_t Read(char* into, size_t most) override {
        const ssize_t got = ::read(file_.fd(), into, most);
        if (got < 0) throw std::runtime_error("read failed");
        return static_cast<size_t>(got);
    }

  private:
    File file_;
};

void WriteRandom(const fs::path& path, uint64_t size, std::mt19937_64& random,
                 const std::string& prefix = {}, const std::string& suffix = {}) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(prefix.data(), 1, prefix.size(), out);
    std::vector<uint64_t> chunk(MiB / 8);
    for (uint64_t done = 0; done < size;) {
        for (uint64_t& value : chunk) value = random();
        const size_t count = static_cast<size_t>(std::min<uint64_t>(MiB, size - done));
        std::fwrite(chunk.data(), 1, count, out);
        done += count;
    }
    std::fwrite(suffix.data(), 1, suffix.size(), out);
    std::fclose(out);
}

std::string Slurp(const fs::path& path) {
    std::string bytes(fs::file_size(path), '\0');
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (std::fread(bytes.data(), 1, bytes.size(), in) != bytes.size()) throw std::runtime_error("");
    std::fclose(in);
    return bytes;
}

void Spit(const fs::path& path, const std::string& bytes) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
}

std::string RandomString(size_t size, std::mt19937_64& random) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

double CpuSeconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const fs::path folder = argv[1];
    const uint64_t packBytes = (argc > 2 ? std::stoull(argv[2]) : 232) * MiB;
    const fs::path before = folder / "before", after = folder / "after";
    fs::create_directories(before);
    fs::create_directories(after);
    std::mt19937_64 random(27);
    std::vector<fs::path> sources;
    for (int n = 0; n < 4; ++n) {
        sources.push_back(before / ("pack" + std::to_string(n) + ".pak"));
        if (!fs::exists(sources.back())) WriteRandom(sources.back(), packBytes, random);
    }
    for (int n = 0; n < 2000; ++n) {
        sources.push_back(before / ("small" + std::to_string(n) + ".dat"));
        if (!fs::exists(sources.back())) Spit(sources.back(), RandomString(16384 + n * 7, random));
    }
    // The next build's changed files.
    std::vector<fs::path> changed;
    uint64_t changedBytes = 0;
    // Made once per folder; a second run measures the matcher alone.
    const bool made = fs::exists(after / "added1.dat");
    if (!made) {
        std::string pack = Slurp(sources[0]);
        const std::string overwrite = RandomString(MiB, random);
        pack.replace(packBytes / 2, MiB, overwrite);
        Spit(after / "pack0.pak", pack);
        pack = Slurp(sources[1]);
        pack.insert(64 * 1024, RandomString(MiB / 2, random));
        Spit(after / "pack1.pak", pack);
        pack = Slurp(sources[2]) + RandomString(MiB, random);
        Spit(after / "pack2.pak", pack);
    }
    changed = {after / "pack0.pak", after / "pack1.pak", after / "pack2.pak"};
    changedBytes += MiB + MiB / 2 + MiB;
    for (int n = 0; n < 20; ++n) {
        changed.push_back(after / ("small" + std::to_string(n * 50) + ".dat"));
        if (!made) {
            std::string small = Slurp(sources[4 + n * 50]);
            small.replace(100, 200, RandomString(200, random));
            Spit(changed.back(), small);
        }
        changedBytes += 200;
    }
    for (int n = 0; n < 2; ++n) {
        changed.push_back(after / ("added" + std::to_string(n) + ".dat"));
        if (!made) Spit(changed.back(), RandomString(20000, random));
        changedBytes += 20000;
    }

    std::vector<uint64_t> sizes;
    uint64_t buildBytes = 0;
    for (const fs::path& source : sources) {
        sizes.push_back(fs::file_size(source));
        buildBytes += sizes.back();
    }
    const double cpuStart = CpuSeconds();
    const auto tableStart = std::chrono::steady_clock::now();
    SourceBlockTable table(sizes);
    std::vector<char> buffer(MiB);
    for (uint32_t n = 0; n < sources.size(); ++n) {
        FileStream in(sources[n]);
        for (size_t got; (got = in.Read(buffer.data(), buffer.size())) > 0;) {
            table.Add(n, buffer.data(), got);
        }
    }
    const double tableSeconds = Seconds(tableStart);
    std::vector<FileRange> ranges(sources.begin(), sources.end());
    const auto source = [&ranges](uint32_t n) -> ByteRangeSource& { return ranges[n]; };
    const auto matchStart = std::chrono::steady_clock::now();
    uint64_t literal = 0;
    for (const fs::path& file : changed) {
        FileStream in(file);
        const uint64_t size = fs::file_size(file);
        const DeltaOutput output =
            DeltaOutputOf(FindDeltaRuns(table, in, size, source), file.filename(), size, "");
        literal += DeltaIsSmaller(output) ? output.literalBytes : size;
    }
    const double matchSeconds = Seconds(matchStart);
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("delta_match,%llu,%.3f,%.3f,%llu,%llu,%llu,%.3f\n",
                static_cast<unsigned long long>(buildBytes), tableSeconds, matchSeconds,
                static_cast<unsigned long long>(changedBytes),
                static_cast<unsigned long long>(literal),
                static_cast<unsigned long long>(usage.ru_maxrss) * 1024, CpuSeconds() - cpuStart);
    return 0;
}

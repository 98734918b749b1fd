#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "format/byte_io.h"
#include "format/zip_directory.h"

// A build zip's entries read by the release tool: in order, unpacked as they
// go, or at any offset, in place when the build stores them and from an
// unpacked copy otherwise. Memory stays a few buffers whatever the sizes.

// An open file, read at any offset (pread), `base` bytes in.
class FileRange : public ByteRangeSource {
  public:
    explicit FileRange(const std::filesystem::path& file, uint64_t base = 0);
    ~FileRange() override;
    FileRange(const FileRange&) = delete;
    FileRange& operator=(const FileRange&) = delete;
    void ReadAt(uint64_t offset, char* into, size_t count) override;

  private:
    std::filesystem::path file_;
    int fd_;
    uint64_t base_;
};

// One entry's bytes, stored or deflated, in order, read from its `zip`;
// fails when they end early.
class EntryStream : public ByteStream {
  public:
    EntryStream(ByteRangeSource& zip, const ZipEntry& entry);
    ~EntryStream() override;
    size_t Read(char* into, size_t most) override;

  private:
    struct Inflater;
    ByteRangeSource& zip_;
    const ZipEntry& entry_;
    uint64_t read_ = 0;      // of the stored bytes
    uint64_t unpacked_ = 0;  // handed out
    std::vector<char> packed_;
    std::unique_ptr<Inflater> inflater_;
};

// The name libarchive lists an entry by (its Unicode path when it has one),
// which is the index's path.
const std::string& IndexNameOf(const ZipEntry& entry);

// The entries of the earlier build, by the source numbers of `paths`, read at
// any offset: stored ones in place, deflated ones unpacked on first use into
// a temporary file under `scratch`, removed with this object.
class EarlierFiles {
  public:
    EarlierFiles(const std::filesystem::path& zip, const std::vector<ZipEntry>& entries,
                 const std::vector<std::string>& paths, std::filesystem::path scratch);
    ~EarlierFiles();
    EarlierFiles(const EarlierFiles&) = delete;
    EarlierFiles& operator=(const EarlierFiles&) = delete;

    const ZipEntry& Entry(uint32_t source) const { return *entries_[source]; }
    ByteRangeSource& Zip() { return zipFile_; }
    ByteRangeSource& At(uint32_t source);

  private:
    std::filesystem::path zip_;
    FileRange zipFile_;
    std::filesystem::path scratch_;
    std::vector<const ZipEntry*> entries_;
    std::vector<std::unique_ptr<FileRange>> open_;
    std::vector<std::filesystem::path> unpacked_;
};

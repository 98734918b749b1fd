#include <fstream>
#include <stdexcept>

#include "format/byte_io.h"
#include "format/zip_directory.h"

namespace {

class StreamZipFile : public ByteRangeSource {
  public:
    explicit StreamZipFile(const std::filesystem::path& path) : stream_(path, std::ios::binary) {
        if (stream_) {
            stream_.seekg(0, std::ios::end);
            size_ = static_cast<uint64_t>(stream_.tellg());
        }
    }
    uint64_t Size() const { return size_; }
    void ReadAt(uint64_t offset, char* into, size_t count) override {
        stream_.clear();
        stream_.seekg(static_cast<std::streamoff>(offset));
        if (!stream_.read(into, static_cast<std::streamsize>(count))) {
            throw std::runtime_error("short read");
        }
    }

  private:
    std::ifstream stream_;
    uint64_t size_ = 0;
};

}  // namespace

std::vector<ZipEntry> ReadZipDirectory(const std::filesystem::path& zip) {
    StreamZipFile source(zip);
    return ReadZipDirectory(source, source.Size());
}

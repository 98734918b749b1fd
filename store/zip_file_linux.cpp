#include <fstream>

#include "store/zip_directory.h"

namespace {

class StreamZipFile : public ZipByteSource {
  public:
    explicit StreamZipFile(const std::filesystem::path& path) : stream_(path, std::ios::binary) {
        if (stream_) {
            stream_.seekg(0, std::ios::end);
            size_ = static_cast<uint64_t>(stream_.tellg());
        }
    }
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, char* into, size_t count) override {
        stream_.clear();
        stream_.seekg(static_cast<std::streamoff>(offset));
        return static_cast<bool>(stream_.read(into, static_cast<std::streamsize>(count)));
    }

  private:
    std::ifstream stream_;
    uint64_t size_ = 0;
};

}  // namespace

std::vector<ZipEntry> ReadZipDirectory(const std::filesystem::path& zip) {
    StreamZipFile source(zip);
    return ReadZipDirectory(source);
}

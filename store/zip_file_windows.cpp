#include <optional>

#include "base/long_path_files.h"
#include "store/zip_directory.h"

namespace {

class HeldZipFile : public ZipByteSource {
  public:
    explicit HeldZipFile(HANDLE file, uint64_t size) : file_(file), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, char* into, size_t count) override {
        return ReadFileRange(file_, offset, into, count);
    }

  private:
    HANDLE file_;
    uint64_t size_;
};

}  // namespace

std::vector<ZipEntry> ReadZipDirectory(const std::filesystem::path& zip) {
    const KernelHandle file = OpenLongPathFile(zip, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    const std::optional<uint64_t> size = file ? OpenFileSize(file.get()) : std::nullopt;
    // Read as an empty source, which the reader refuses as any broken zip.
    HeldZipFile source(file.get(), size.value_or(0));
    return ReadZipDirectory(source);
}

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Where written bytes go: a file, or only a digest and a count (a dry run).
using BytesOut = std::function<void(const char*, size_t)>;

// One entry as it will stand in the zip: its data is `compressedSize` bytes
// of `method` (0 stored, 8 deflate) that unpack to `size` bytes with `crc`.
struct ZipRecord {
    std::string name;  // UTF-8; a folder's ends with "/"
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
};

// A zip written front to back, the same bytes for the same entries: names
// flagged UTF-8, one fixed time (1980-01-01 00:00), no owner or time extra
// field, no data descriptor, and zip64 records only where a size, an offset
// or the count needs them. Memory grows with the count of entries only.
class ZipWriter {
  public:
    // A null sink counts the bytes without writing them (SkipData then
    // stands in for the data), so a zip's size is known before it is made.
    explicit ZipWriter(BytesOut out);
    // The local header; then exactly `compressedSize` bytes through Data.
    void Begin(const ZipRecord& record);
    void Data(const char* data, size_t size);
    void SkipData(uint64_t size);
    // The central directory and the end records; returns the zip's size.
    uint64_t Finish();

  private:
    void Put(const std::string& bytes);

    BytesOut out_;
    uint64_t written_ = 0;
    std::vector<std::pair<ZipRecord, uint64_t>> entries_;  // with local header offsets
};

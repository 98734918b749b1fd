#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// One entry of a zip as the archive itself records it: its central directory
// record beside its local header (and data descriptor). Archive programs
// disagree on which of the two they believe, so both are kept for judging.
struct ZipEntry {
    std::string name;   // central directory, raw bytes
    bool utf8 = false;  // general-purpose flag bit 11
    bool encrypted = false;
    bool isFolder = false;  // the name ends with '/'
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t dataOffset = 0;  // where the entry's stored bytes begin
    // Info-ZIP Unicode path (extra field 0x7075) where either record has one;
    // libarchive lists it instead of the header's name.
    std::string unicodePath;

    std::string localName;
    uint16_t localMethod = 0;
    uint32_t localCrc = 0;
    uint64_t localCompressedSize = 0;
    uint64_t localSize = 0;
    std::string localUnicodePath;
};

// The bytes of one zip, wherever they lie: the launcher reads them through an
// open handle, the release tool from a file.
class ZipByteSource {
  public:
    virtual ~ZipByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Exactly `count` bytes at `offset`; false when they cannot be read.
    virtual bool Read(uint64_t offset, char* into, size_t count) = 0;
};

// Reads every central directory record (zip64 included) and each entry's local
// header. Fails with "The update archive is not a readable zip" when the
// structure is broken; the entry data itself is not read.
std::vector<ZipEntry> ReadZipDirectory(ZipByteSource& zip);

// The same for a zip file by its path (zip_file_windows.cpp reads it through
// the launcher's long-path file layer, zip_file_linux.cpp for the release tool).
std::vector<ZipEntry> ReadZipDirectory(const std::filesystem::path& zip);

#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// store/byte_io.h; declared only, as the release tool has a ByteSink of its own.
class ByteRangeSource;

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

// Reads every central directory record (zip64 included) and each entry's local
// header of the `size` bytes of `zip` (the launcher reads them through an open
// handle, the release tool from a file). Fails with "The update archive is not
// a readable zip" when the structure is broken or a read fails; the entry data
// itself is not read.
std::vector<ZipEntry> ReadZipDirectory(ByteRangeSource& zip, uint64_t size);

// The same for a zip file by its path (zip_file_windows.cpp reads it through
// the launcher's long-path file layer, zip_file_linux.cpp for the release tool).
std::vector<ZipEntry> ReadZipDirectory(const std::filesystem::path& zip);

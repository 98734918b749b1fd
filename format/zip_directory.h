#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "format/launcher_error.h"

// format/byte_io.h; declared only, as the release tool has a ByteSink of its own.
class ByteRangeSource;

// One entry of a zip whose central record and local header agree on
// everything that changes how it unpacks.
struct ZipEntry {
    std::string name;       // raw bytes; valid UTF-8, and ASCII unless flagged
    bool utf8 = false;      // general-purpose flag bit 11
    bool isFolder = false;  // the name ends with '/'
    uint16_t method = 0;    // 0 stored, 8 deflate: nothing else is read
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t headerOffset = 0;  // where its local header begins
    uint64_t dataOffset = 0;    // where its stored bytes begin
};

// Why a zip was refused. `entry` is the raw name of the entry at fault (empty
// when the archive as a whole is), `why` the rule, worded to follow
// `The archive entry "<name>" ` or `The archive `. The launcher shows its
// own sentence; the release tool prints ZipRefusalSentence.
class ZipRefusal : public LauncherError {
  public:
    ZipRefusal(std::string entry, std::string why);
    std::string entry;
    std::string why;
};

// One line naming the entry readably and the rule.
std::string ZipRefusalSentence(const ZipRefusal& refusal);

// A raw entry name as one printable line: valid UTF-8 as it is, every byte
// that is not (or a control character, or a backslash) as \xNN.
std::string ReadableEntryName(std::string_view raw);

// The zip as Windows' tar.exe reads it, or a ZipRefusal. Every central
// record up to the directory's end (the count must agree), each matched with
// its local header and data descriptor, and the entries must tile the bytes
// from 0 to the directory, so no reader finds an entry the others do not.
// Only stored and deflated entries, on the first disk, unencrypted, named in
// UTF-8. Reads the records only, never an entry's data, so the check takes
// time in proportion to the directory whatever the entries claim to unpack to.
std::vector<ZipEntry> ReadZipDirectory(ByteRangeSource& zip, uint64_t size);

// The same for a zip file by its path: defined by each program's file layer
// (the launcher's long-path files, the release tool's streams).
std::vector<ZipEntry> ReadZipDirectory(const std::filesystem::path& zip);

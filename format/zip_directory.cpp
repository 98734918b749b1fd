#include "format/zip_directory.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include "format/byte_io.h"
#include "format/utf8.h"

namespace {

constexpr uint32_t LocalHeaderSignature = 0x04034b50;
constexpr uint32_t CentralHeaderSignature = 0x02014b50;
constexpr uint32_t EndSignature = 0x06054b50;
constexpr uint32_t Zip64EndSignature = 0x06064b50;
constexpr uint32_t Zip64LocatorSignature = 0x07064b50;
constexpr uint32_t DescriptorSignature = 0x08074b50;
constexpr uint16_t Zip64Extra = 0x0001;
constexpr uint16_t UnicodePathExtra = 0x7075;
constexpr uint16_t EncryptionFlags = 0x0001 | 0x0040;  // traditional, strong
constexpr uint16_t DescriptorFlag = 0x0008;
constexpr uint16_t Utf8Flag = 0x0800;
// The flag bits that change how an entry's bytes read: both records must agree.
constexpr uint16_t ReadingFlags = EncryptionFlags | DescriptorFlag | Utf8Flag;
constexpr uint16_t Escape16 = 0xFFFF;
constexpr uint32_t Escape32 = 0xFFFFFFFF;
constexpr size_t EndRecordSize = 22;
constexpr size_t LocalHeaderSize = 30;
constexpr size_t Zip64LocatorSize = 20;
constexpr size_t Zip64EndSize = 56;
constexpr size_t MaxCommentSize = 0xFFFF;
// A 100,000-file build with long paths fits; the directory is read whole.
constexpr uint64_t DirectoryLimit = 64u << 20;
// No deflate stream unpacks to more than this many times its size.
constexpr uint64_t MaxDeflateRatio = 1032;

[[noreturn]] void Refuse(const std::string& entry, std::string why) {
    throw ZipRefusal(entry, std::move(why));
}
[[noreturn]] void Broken(std::string why) { Refuse({}, std::move(why)); }

// Little-endian fields off a byte span; running past its end refuses the zip
// with the reader's own reason.
class FieldReader {
  public:
    FieldReader(std::string_view bytes, std::string entry, std::string overrun)
        : bytes_(bytes), entry_(std::move(entry)), overrun_(std::move(overrun)) {}
    // Keeps bytes read for it alive as long as the reader.
    FieldReader(std::string&& bytes, std::string entry, std::string overrun)
        : owned_(std::move(bytes)),
          bytes_(owned_),
          entry_(std::move(entry)),
          overrun_(std::move(overrun)) {}
    FieldReader(const FieldReader&) = delete;
    FieldReader& operator=(const FieldReader&) = delete;
    uint64_t Read(size_t width) {
        const std::string_view part = Take(width);
        uint64_t value = 0;
        for (size_t k = 0; k < width; ++k) {
            value |= uint64_t{static_cast<unsigned char>(part[k])} << (8 * k);
        }
        return value;
    }
    uint16_t U16() { return static_cast<uint16_t>(Read(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Read(4)); }
    uint64_t U64() { return Read(8); }
    std::string_view Take(size_t count) {
        if (bytes_.size() - at_ < count) Refuse(entry_, overrun_);
        const std::string_view part = bytes_.substr(at_, count);
        at_ += count;
        return part;
    }
    void Skip(size_t count) { Take(count); }
    bool AtEnd() const { return at_ == bytes_.size(); }
    size_t At() const { return at_; }

  private:
    std::string owned_;
    std::string_view bytes_;
    std::string entry_;
    std::string overrun_;
    size_t at_ = 0;
};

// Bounded reads off a byte source.
class ZipFile {
  public:
    ZipFile(ByteRangeSource& source, uint64_t size) : source_(source), size_(size) {}
    uint64_t Size() const { return size_; }
    bool Holds(uint64_t offset, uint64_t count) const {
        return offset <= size_ && size_ - offset >= count;
    }
    std::string Read(uint64_t offset, size_t count, const std::string& entry, const char* outside) {
        if (!Holds(offset, count)) Refuse(entry, outside);
        std::string bytes(count, '\0');
        try {
            if (count > 0) source_.ReadAt(offset, bytes.data(), count);
        } catch (const std::exception&) {
            Broken("could not be read to its end");
        }
        return bytes;
    }

  private:
    ByteRangeSource& source_;
    uint64_t size_ = 0;
};

struct Extras {
    std::optional<std::string_view> zip64;
    std::optional<std::string> unicodePath;
};

Extras ReadExtras(std::string_view extra, const std::string& entry) {
    Extras found;
    FieldReader fields(extra, entry, "has an extra field cut short");
    while (!fields.AtEnd()) {
        const uint16_t id = fields.U16();
        const std::string_view data = fields.Take(fields.U16());
        if (id == Zip64Extra) {
            if (found.zip64) Refuse(entry, "has two zip64 fields");
            found.zip64 = data;
        } else if (id == UnicodePathExtra) {
            if (data.size() < 5) Refuse(entry, "has a Unicode path field cut short");
            found.unicodePath = std::string(data.substr(5));  // after version and CRC
        }
    }
    return found;
}

// A zip64 field holds, in this order, only the values whose short field is
// the escape: size, compressed size, local header offset, disk.
struct Zip64Values {
    uint64_t* size = nullptr;
    uint64_t* compressed = nullptr;
    uint64_t* offset = nullptr;
    uint64_t* disk = nullptr;
};
void ApplyZip64(const Extras& extras, const Zip64Values& wanted, const std::string& entry) {
    if (!wanted.size && !wanted.compressed && !wanted.offset && !wanted.disk) return;
    if (!extras.zip64) Refuse(entry, "has an escaped size but no zip64 field");
    FieldReader fields(*extras.zip64, entry, "has a zip64 field too short for its sizes");
    if (wanted.size) *wanted.size = fields.U64();
    if (wanted.compressed) *wanted.compressed = fields.U64();
    if (wanted.offset) *wanted.offset = fields.U64();
    if (wanted.disk) *wanted.disk = fields.U32();
}

struct Directory {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t count = 0;
};

// The end record, and the zip64 end record where it points to one. Only the
// zip64 records may lie between the directory and the end record, and only a
// comment after it.
Directory FindDirectory(ZipFile& file) {
    if (file.Size() < EndRecordSize) Broken("is too short to be a zip");
    const uint64_t tailSize = std::min<uint64_t>(file.Size(), EndRecordSize + MaxCommentSize);
    const uint64_t tailStart = file.Size() - tailSize;
    const std::string tail = file.Read(tailStart, static_cast<size_t>(tailSize), {}, "");
    const std::string_view signature("PK\x05\x06", 4);
    size_t at = tail.size() - EndRecordSize + 1;
    for (;;) {
        at = at == 0 ? std::string_view::npos : tail.rfind(signature, at - 1);
        if (at == std::string_view::npos) Broken("has no end record");
        FieldReader end(std::string_view(tail).substr(at + 20, 2), {}, "");
        if (end.U16() == tail.size() - at - EndRecordSize) break;
    }
    if (tail.find(signature, at + 1) != std::string::npos) {
        Broken("holds a second end record in its comment");
    }
    FieldReader end(std::string_view(tail).substr(at, EndRecordSize), {}, "");
    end.Skip(4);
    const uint16_t disk = end.U16();
    const uint16_t directoryDisk = end.U16();
    const uint16_t diskCount = end.U16();
    const uint16_t count = end.U16();
    const uint32_t size = end.U32();
    const uint32_t offset = end.U32();
    const uint64_t endOffset = tailStart + at;

    Directory directory{offset, size, count};
    uint64_t directoryEnd = endOffset;
    const bool zip64 =
        endOffset >= Zip64LocatorSize &&
        FieldReader(file.Read(endOffset - Zip64LocatorSize, 4, {}, ""), {}, "").U32() ==
            Zip64LocatorSignature;
    if (zip64) {
        FieldReader locator(file.Read(endOffset - Zip64LocatorSize, Zip64LocatorSize, {}, ""), {},
                            "");
        locator.Skip(4);
        const uint32_t zip64Disk = locator.U32();
        const uint64_t zip64Offset = locator.U64();
        const uint32_t disks = locator.U32();
        if (zip64Disk != 0 || disks > 1) Broken("names a disk other than the first");
        FieldReader record(file.Read(zip64Offset, Zip64EndSize, {}, "has no zip64 end record"), {},
                           "");
        if (record.U32() != Zip64EndSignature) Broken("has no zip64 end record");
        const uint64_t recordSize = record.U64();
        record.Skip(4);  // versions
        if (record.U32() != 0 || record.U32() != 0) Broken("names a disk other than the first");
        const uint64_t zip64DiskCount = record.U64();
        directory.count = record.U64();
        directory.size = record.U64();
        directory.offset = record.U64();
        if (zip64DiskCount != directory.count) Broken("names a disk other than the first");
        const uint64_t locatorOffset = endOffset - Zip64LocatorSize;
        if (recordSize < Zip64EndSize - 12 || zip64Offset > locatorOffset ||
            recordSize > locatorOffset - zip64Offset ||
            locatorOffset - zip64Offset - recordSize != 12) {
            Broken("has bytes between its zip64 end record and its end record");
        }
        // The short fields either escape or say the same, so no reader that
        // ignores the zip64 records sees another directory.
        const bool agree = (disk == 0 || disk == Escape16) &&
                           (directoryDisk == 0 || directoryDisk == Escape16) &&
                           (count == Escape16 || count == directory.count) &&
                           (diskCount == Escape16 || diskCount == directory.count) &&
                           (size == Escape32 || size == directory.size) &&
                           (offset == Escape32 || offset == directory.offset);
        if (!agree) Broken("has an end record that disagrees with its zip64 end record");
        directoryEnd = zip64Offset;
    } else {
        if (disk != 0 || directoryDisk != 0) Broken("names a disk other than the first");
        if (diskCount != count) Broken("names a disk other than the first");
    }
    if (directory.offset > directoryEnd || directoryEnd - directory.offset != directory.size) {
        Broken("has a central directory that does not end where its end record begins");
    }
    return directory;
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// What the central record says, with the flags kept for the local header.
struct CentralRecord {
    ZipEntry entry;
    uint16_t flags = 0;
    bool zip64 = false;
    bool namedByUnicodePath = false;  // both records must then carry one
};

CentralRecord ReadCentralRecord(FieldReader& central) {
    if (central.U32() != CentralHeaderSignature) {
        Broken("has a central directory that holds something other than its records");
    }
    CentralRecord record;
    ZipEntry& entry = record.entry;
    central.Skip(4);  // versions
    record.flags = central.U16();
    entry.method = central.U16();
    central.Skip(4);  // time, date
    entry.crc = central.U32();
    entry.compressedSize = central.U32();
    entry.size = central.U32();
    const uint16_t nameLength = central.U16();
    const uint16_t extraLength = central.U16();
    const uint16_t commentLength = central.U16();
    uint64_t disk = central.U16();
    central.Skip(6);  // attributes
    entry.headerOffset = central.U32();
    entry.name = std::string(central.Take(nameLength));
    const std::string& name = entry.name;
    const std::string_view extra = central.Take(extraLength);
    central.Skip(commentLength);
    if (name.empty()) Broken("holds an entry with an empty name");

    const Extras extras = ReadExtras(extra, name);
    record.zip64 = extras.zip64.has_value();
    ApplyZip64(extras,
               {entry.size == Escape32 ? &entry.size : nullptr,
                entry.compressedSize == Escape32 ? &entry.compressedSize : nullptr,
                entry.headerOffset == Escape32 ? &entry.headerOffset : nullptr,
                disk == Escape16 ? &disk : nullptr},
               name);
    if (disk != 0) Refuse(name, "lies on a disk other than the first");
    if ((record.flags & EncryptionFlags) != 0) {
        Refuse(name, "is encrypted, which Windows' tar.exe cannot unpack");
    }
    if (entry.method != 0 && entry.method != 8) {
        Refuse(name, "is packed with method " + std::to_string(entry.method) +
                         ", which Windows' tar.exe cannot unpack (only stored and deflate)");
    }
    if (extras.unicodePath && *extras.unicodePath != name) {
        Refuse(name, "has a Unicode path field that names it otherwise");
    }
    // Info-ZIP flags no name as UTF-8 but writes it again in a Unicode path
    // field, which libarchive reads instead: the same bytes, so one name.
    entry.utf8 = (record.flags & Utf8Flag) != 0;
    record.namedByUnicodePath = !entry.utf8 && !IsAscii(name) && extras.unicodePath.has_value();
    if (!entry.utf8 && !IsAscii(name) && !record.namedByUnicodePath) {
        Refuse(name, "has a name outside ASCII without the zip's UTF-8 flag");
    }
    if (!IsValidUtf8(name)) Refuse(name, "has a name that is not valid UTF-8");
    entry.isFolder = name.back() == '/';
    if (entry.method == 0 && entry.compressedSize != entry.size) {
        Refuse(name, "is stored with two different sizes");
    }
    if (entry.method == 8 && entry.size / MaxDeflateRatio > entry.compressedSize) {
        Refuse(name, "declares more bytes than its compressed data can unpack to");
    }
    if (entry.isFolder && entry.size != 0) Refuse(name, "is a folder that holds data");
    return record;
}

[[noreturn]] void Disagrees(const std::string& name, const char* what) {
    Refuse(name,
           std::string("has a local header that disagrees with the central directory in ") + what);
}

// Checks the local header against its central record and returns where the
// entry's data ends. A zip64 field in either record widens its descriptor.
uint64_t CheckLocalHeader(ZipFile& file, CentralRecord& record) {
    ZipEntry& entry = record.entry;
    const std::string& name = entry.name;
    FieldReader header(file.Read(entry.headerOffset, LocalHeaderSize, name,
                                 "has a local header outside the archive"),
                       name, "");
    if (header.U32() != LocalHeaderSignature) {
        Refuse(name, "has no local header where its central record says");
    }
    header.Skip(2);  // version
    const uint16_t flags = header.U16();
    const uint16_t method = header.U16();
    header.Skip(4);  // time, date
    const uint32_t crc = header.U32();
    uint64_t compressed = header.U32();
    uint64_t size = header.U32();
    const uint16_t nameLength = header.U16();
    const uint16_t extraLength = header.U16();
    const std::string variable =
        file.Read(entry.headerOffset + LocalHeaderSize, size_t{nameLength} + extraLength, name,
                  "has a local header outside the archive");
    if (std::string_view(variable).substr(0, nameLength) != name) Disagrees(name, "its name");
    if ((flags & ReadingFlags) != (record.flags & ReadingFlags)) Disagrees(name, "its flags");
    if (method != entry.method) Disagrees(name, "its method");
    const Extras extras = ReadExtras(std::string_view(variable).substr(nameLength), name);
    if ((extras.unicodePath && *extras.unicodePath != name) ||
        (record.namedByUnicodePath && !extras.unicodePath)) {
        Refuse(name, "has a Unicode path field that names it otherwise");
    }
    record.zip64 = record.zip64 || extras.zip64.has_value();
    ApplyZip64(extras,
               {size == Escape32 ? &size : nullptr, compressed == Escape32 ? &compressed : nullptr,
                nullptr, nullptr},
               name);
    // With a descriptor, the header may leave CRC and sizes at zero.
    const bool streamed = (flags & DescriptorFlag) != 0;
    const auto agrees = [streamed](uint64_t local, uint64_t central) {
        return local == central || (streamed && local == 0);
    };
    if (!agrees(crc, entry.crc)) Disagrees(name, "its CRC");
    if (!agrees(size, entry.size) || !agrees(compressed, entry.compressedSize)) {
        Disagrees(name, "its sizes");
    }
    entry.dataOffset = entry.headerOffset + LocalHeaderSize + variable.size();
    if (!file.Holds(entry.dataOffset, entry.compressedSize)) {
        Refuse(name, "declares more data than the archive holds");
    }
    return entry.dataOffset + entry.compressedSize;
}

// The data descriptor that fills the bytes from `dataEnd` to `next`: with or
// without its signature, 8-byte sizes where either record is zip64.
void CheckDescriptor(ZipFile& file, const CentralRecord& record, uint64_t dataEnd, uint64_t next) {
    const ZipEntry& entry = record.entry;
    const std::string& name = entry.name;
    const size_t width = record.zip64 ? 8 : 4;
    const uint64_t length = next - dataEnd;
    const bool withSignature = length == 8 + 2 * width;
    if (!withSignature && length != 4 + 2 * width) {
        Refuse(name, "has no data descriptor of its kind between its data and the next entry");
    }
    FieldReader descriptor(file.Read(dataEnd, static_cast<size_t>(length), name, ""), name, "");
    if (withSignature && descriptor.U32() != DescriptorSignature) {
        Refuse(name, "has no data descriptor of its kind between its data and the next entry");
    }
    if (descriptor.U32() != entry.crc || descriptor.Read(width) != entry.compressedSize ||
        descriptor.Read(width) != entry.size) {
        Refuse(name, "has a data descriptor that disagrees with the central directory");
    }
}

}  // namespace

ZipRefusal::ZipRefusal(std::string entry, std::string why)
    : LauncherError("The update archive is not a readable zip"),
      entry(std::move(entry)),
      why(std::move(why)) {}

std::string ReadableEntryName(std::string_view raw) {
    std::string out;
    for (size_t at = 0; at < raw.size();) {
        const size_t start = at;
        const std::optional<char32_t> point = DecodeUtf8(raw, at);
        if (point && *point >= 0x20 && *point != 0x7F && *point != '\\' &&
            !(*point >= 0x80 && *point < 0xA0)) {
            out.append(raw.substr(start, at - start));
            continue;
        }
        const size_t end = point ? at : start + 1;
        for (size_t k = start; k < end; ++k) {
            constexpr char digits[] = "0123456789ABCDEF";
            const auto byte = static_cast<unsigned char>(raw[k]);
            out += "\\x";
            out.push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 0xF]);
        }
        at = end;
    }
    return out;
}

std::string ZipRefusalSentence(const ZipRefusal& refusal) {
    if (refusal.entry.empty()) return "The archive " + refusal.why;
    return "The archive entry \"" + ReadableEntryName(refusal.entry) + "\" " + refusal.why;
}

std::vector<ZipEntry> ReadZipDirectory(ByteRangeSource& zip, uint64_t size) {
    ZipFile file(zip, size);
    const Directory directory = FindDirectory(file);
    if (directory.size > DirectoryLimit) Broken("has a central directory too large for a build");
    const std::string records = file.Read(directory.offset, static_cast<size_t>(directory.size), {},
                                          "has a central directory outside the archive");
    FieldReader central(records, {}, "has a central directory record cut short");
    // The count comes from the archive: never trust it for an allocation.
    std::vector<CentralRecord> read;
    while (!central.AtEnd()) read.push_back(ReadCentralRecord(central));
    if (read.size() != directory.count) {
        Broken("has an end record that counts " + std::to_string(directory.count) +
               " entries where its central directory holds " + std::to_string(read.size()));
    }

    // In the order of their bytes, each entry must begin where the one before
    // it ends, and the last end where the directory begins.
    std::vector<size_t> order(read.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&read](size_t a, size_t b) {
        return read[a].entry.headerOffset < read[b].entry.headerOffset;
    });
    for (size_t k = 1; k < order.size(); ++k) {
        if (read[order[k]].entry.headerOffset == read[order[k - 1]].entry.headerOffset) {
            Refuse(read[order[k]].entry.name, "overlaps the entry before it");
        }
    }
    uint64_t expected = 0;
    for (size_t k = 0; k < order.size(); ++k) {
        CentralRecord& record = read[order[k]];
        ZipEntry& entry = record.entry;
        if (entry.headerOffset < expected) Refuse(entry.name, "overlaps the entry before it");
        if (entry.headerOffset > expected) {
            Broken("has bytes before the entry \"" + ReadableEntryName(entry.name) +
                   "\" that no central record names");
        }
        if (entry.headerOffset >= directory.offset) {
            Refuse(entry.name, "has a local header inside the central directory");
        }
        const uint64_t next =
            k + 1 < order.size() ? read[order[k + 1]].entry.headerOffset : directory.offset;
        const uint64_t dataEnd = CheckLocalHeader(file, record);
        if (dataEnd > next) {
            Refuse(entry.name, k + 1 < order.size() ? "runs into the entry after it"
                                                    : "runs into the central directory");
        }
        if ((record.flags & DescriptorFlag) != 0) {
            CheckDescriptor(file, record, dataEnd, next);
        } else if (dataEnd < next) {
            Refuse(entry.name, "is followed by bytes that no central record names");
        }
        expected = next;
    }
    if (order.empty() && directory.offset != 0) {
        Broken("has bytes before its central directory that no central record names");
    }
    std::vector<ZipEntry> entries;
    entries.reserve(read.size());
    for (CentralRecord& record : read) entries.push_back(std::move(record.entry));
    return entries;
}

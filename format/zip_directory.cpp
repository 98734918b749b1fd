#include "format/zip_directory.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string_view>

#include "format/launcher_error.h"
#include "format/byte_io.h"

namespace {

constexpr uint32_t LocalHeaderSignature = 0x04034b50;
constexpr uint32_t CentralHeaderSignature = 0x02014b50;
constexpr uint32_t EndSignature = 0x06054b50;
constexpr uint32_t Zip64EndSignature = 0x06064b50;
constexpr uint32_t Zip64LocatorSignature = 0x07064b50;
constexpr uint32_t DescriptorSignature = 0x08074b50;
constexpr uint16_t Zip64Extra = 0x0001;
constexpr uint16_t UnicodePathExtra = 0x7075;
constexpr uint32_t Escape32 = 0xFFFFFFFF;
constexpr size_t EndRecordSize = 22;
constexpr size_t MaxCommentSize = 0xFFFF;

[[noreturn]] void Unreadable() { throw LauncherError("The update archive is not a readable zip"); }

// Little-endian fields read off a byte span, failing past its end.
class FieldReader {
  public:
    explicit FieldReader(std::string_view bytes) : bytes_(bytes) {}
    // Keeps bytes read for it alive as long as the reader.
    explicit FieldReader(std::string&& bytes) : owned_(std::move(bytes)), bytes_(owned_) {}
    FieldReader(const FieldReader&) = delete;
    FieldReader& operator=(const FieldReader&) = delete;
    uint64_t Read(size_t width) {
        if (bytes_.size() - at_ < width) Unreadable();
        uint64_t value = 0;
        for (size_t k = 0; k < width; ++k) {
            value |= uint64_t{static_cast<unsigned char>(bytes_[at_ + k])} << (8 * k);
        }
        at_ += width;
        return value;
    }
    uint16_t U16() { return static_cast<uint16_t>(Read(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Read(4)); }
    uint64_t U64() { return Read(8); }
    std::string_view Take(size_t count) {
        if (bytes_.size() - at_ < count) Unreadable();
        const std::string_view part = bytes_.substr(at_, count);
        at_ += count;
        return part;
    }
    void Skip(size_t count) { Take(count); }

  private:
    std::string owned_;
    std::string_view bytes_;
    size_t at_ = 0;
};

// Bounded reads off a byte source.
class ZipFile {
  public:
    ZipFile(ByteRangeSource& source, uint64_t size) : source_(source), size_(size) {}
    uint64_t Size() const { return size_; }
    std::string Read(uint64_t offset, size_t count) {
        if (offset > size_ || size_ - offset < count) Unreadable();
        std::string bytes(count, '\0');
        try {
            if (count > 0) source_.ReadAt(offset, bytes.data(), count);
        } catch (const std::exception&) {
            Unreadable();
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

Extras ReadExtras(std::string_view extra) {
    Extras found;
    FieldReader fields(extra);
    for (size_t left = extra.size(); left >= 4;) {
        const uint16_t id = fields.U16();
        const uint16_t length = fields.U16();
        const std::string_view data = fields.Take(length);
        left -= 4u + length;
        if (id == Zip64Extra) {
            found.zip64 = data;
        } else if (id == UnicodePathExtra && data.size() >= 5) {
            found.unicodePath = std::string(data.substr(5));  // after version and CRC
        }
    }
    return found;
}

// A zip64 extra holds, in this order, only the values whose 32-bit field is
// the escape: size, compressed size, then the local header offset.
void ApplyZip64(const Extras& extras, bool wantSize, uint64_t& size, bool wantCompressed,
                uint64_t& compressed, bool wantOffset, uint64_t* offset) {
    if (!wantSize && !wantCompressed && !wantOffset) return;
    if (!extras.zip64) Unreadable();
    FieldReader fields(*extras.zip64);
    if (wantSize) size = fields.U64();
    if (wantCompressed) compressed = fields.U64();
    if (wantOffset && offset) *offset = fields.U64();
}

struct CentralDirectory {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t count = 0;
};

CentralDirectory FindCentralDirectory(ZipFile& file) {
    if (file.Size() < EndRecordSize) Unreadable();
    const uint64_t tailSize = std::min<uint64_t>(file.Size(), EndRecordSize + MaxCommentSize);
    const std::string tail = file.Read(file.Size() - tailSize, static_cast<size_t>(tailSize));
    for (size_t at = tail.size() - EndRecordSize + 1; at-- > 0;) {
        FieldReader end(std::string_view(tail).substr(at));
        if (end.U32() != EndSignature) continue;
        end.Skip(6);
        CentralDirectory directory;
        directory.count = end.U16();
        directory.size = end.U32();
        directory.offset = end.U32();
        if (end.U16() != tail.size() - at - EndRecordSize)
            continue;  // a signature inside the comment
        const uint64_t endOffset = file.Size() - tailSize + at;
        if (endOffset >= 20) {
            FieldReader locator(file.Read(endOffset - 20, 20));
            if (locator.U32() == Zip64LocatorSignature) {
                locator.Skip(4);
                FieldReader zip64(file.Read(locator.U64(), 56));
                if (zip64.U32() != Zip64EndSignature) Unreadable();
                zip64.Skip(8 + 4 + 4 + 4 + 8);
                directory.count = zip64.U64();
                directory.size = zip64.U64();
                directory.offset = zip64.U64();
            }
        }
        return directory;
    }
    Unreadable();
}

void ReadLocalHeader(ZipFile& file, uint64_t offset, uint16_t flags, ZipEntry& entry) {
    FieldReader header(file.Read(offset, 30));
    if (header.U32() != LocalHeaderSignature) Unreadable();
    header.Skip(4);  // version, flags
    entry.localMethod = header.U16();
    header.Skip(4);
    entry.localCrc = header.U32();
    entry.localCompressedSize = header.U32();
    entry.localSize = header.U32();
    const uint16_t nameLength = header.U16();
    const uint16_t extraLength = header.U16();
    const std::string variable = file.Read(offset + 30, size_t{nameLength} + extraLength);
    entry.localName = variable.substr(0, nameLength);
    entry.dataOffset = offset + 30 + variable.size();
    const Extras extras = ReadExtras(std::string_view(variable).substr(nameLength));
    if (extras.unicodePath) entry.localUnicodePath = *extras.unicodePath;
    const bool escaped = entry.localSize == Escape32 || entry.localCompressedSize == Escape32;
    if (escaped) {
        ApplyZip64(extras, true, entry.localSize, true, entry.localCompressedSize, false, nullptr);
    }
    if ((flags & 0x0008) == 0) return;
    // Streamed entries carry CRC and sizes in a descriptor after their data.
    const uint64_t dataEnd = offset + 30 + variable.size() + entry.compressedSize;
    const bool wide = escaped || extras.zip64.has_value();
    const size_t width = wide ? 8 : 4;
    if (dataEnd > file.Size()) Unreadable();
    const uint64_t room = std::min<uint64_t>(4 + 4 + 2 * width, file.Size() - dataEnd);
    FieldReader descriptor(file.Read(dataEnd, static_cast<size_t>(room)));
    uint32_t first = descriptor.U32();
    if (first == DescriptorSignature) first = descriptor.U32();
    entry.localCrc = first;
    entry.localCompressedSize = descriptor.Read(width);
    entry.localSize = descriptor.Read(width);
}

}  // namespace

std::vector<ZipEntry> ReadZipDirectory(ByteRangeSource& zip, uint64_t size) {
    ZipFile file(zip, size);
    const CentralDirectory directory = FindCentralDirectory(file);
    if (directory.offset > file.Size() || directory.size > file.Size() - directory.offset) {
        Unreadable();
    }
    // The count comes from the archive: never trust it for an allocation.
    std::vector<ZipEntry> entries;
    const std::string records = file.Read(directory.offset, static_cast<size_t>(directory.size));
    FieldReader central(records);
    for (uint64_t index = 0; index < directory.count; ++index) {
        if (central.U32() != CentralHeaderSignature) Unreadable();
        ZipEntry entry;
        central.Skip(4);  // versions
        const uint16_t flags = central.U16();
        entry.encrypted = (flags & 0x0001) != 0;
        entry.utf8 = (flags & 0x0800) != 0;
        entry.method = central.U16();
        central.Skip(4);  // time, date
        entry.crc = central.U32();
        entry.compressedSize = central.U32();
        entry.size = central.U32();
        const uint16_t nameLength = central.U16();
        const uint16_t extraLength = central.U16();
        const uint16_t commentLength = central.U16();
        const uint16_t disk = central.U16();
        central.Skip(6);  // attributes
        uint64_t localOffset = central.U32();
        entry.name = std::string(central.Take(nameLength));
        const Extras extras = ReadExtras(central.Take(extraLength));
        central.Skip(commentLength);
        if (extras.unicodePath) entry.unicodePath = *extras.unicodePath;
        ApplyZip64(extras, entry.size == Escape32, entry.size, entry.compressedSize == Escape32,
                   entry.compressedSize, localOffset == Escape32, &localOffset);
        if (disk != 0 && disk != 0xFFFF) Unreadable();  // split archives are not builds
        entry.isFolder = !entry.name.empty() && entry.name.back() == '/';
        ReadLocalHeader(file, localOffset, flags, entry);
        entries.push_back(std::move(entry));
    }
    return entries;
}

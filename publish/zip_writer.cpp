#include "publish/zip_writer.h"

#include <stdexcept>

namespace {

constexpr uint32_t Escape32 = 0xFFFFFFFF;
constexpr uint16_t Utf8Flag = 0x0800;
constexpr uint16_t DosDate1980 = 0x0021;  // 1980-01-01; the time is 00:00
constexpr uint16_t MadeByDos = 20;        // version 2.0: attributes are DOS bits
constexpr uint16_t Zip64Version = 45;
constexpr uint32_t DosFolder = 0x10;

void U16(std::string& out, uint64_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}
void U32(std::string& out, uint64_t value) {
    U16(out, value & 0xFFFF);
    U16(out, (value >> 16) & 0xFFFF);
}
void U64(std::string& out, uint64_t value) {
    U32(out, value & 0xFFFFFFFF);
    U32(out, value >> 32);
}

bool Wide(uint64_t value) { return value >= Escape32; }

}  // namespace

ZipWriter::ZipWriter(BytesOut out) : out_(std::move(out)) {}

void ZipWriter::Put(const std::string& bytes) {
    if (out_) out_(bytes.data(), bytes.size());
    written_ += bytes.size();
}

void ZipWriter::Begin(const ZipRecord& record) {
    if (record.name.size() > 0xFFFF) throw std::runtime_error("A name is too long for a zip");
    entries_.push_back({record, written_});
    const bool wide = Wide(record.size) || Wide(record.compressedSize);
    std::string header;
    U32(header, 0x04034B50);
    U16(header, wide ? Zip64Version : 20);
    U16(header, Utf8Flag);
    U16(header, record.method);
    U16(header, 0);
    U16(header, DosDate1980);
    U32(header, record.crc);
    U32(header, wide ? Escape32 : record.compressedSize);
    U32(header, wide ? Escape32 : record.size);
    U16(header, record.name.size());
    U16(header, wide ? 20 : 0);
    header += record.name;
    if (wide) {
        U16(header, 1);
        U16(header, 16);
        U64(header, record.size);
        U64(header, record.compressedSize);
    }
    Put(header);
}

void ZipWriter::Data(const char* data, size_t size) {
    if (out_) out_(data, size);
    written_ += size;
}

void ZipWriter::SkipData(uint64_t size) { written_ += size; }

uint64_t ZipWriter::Finish() {
    const uint64_t directoryAt = written_;
    for (const auto& [record, offset] : entries_) {
        std::string extra;
        if (Wide(record.size)) U64(extra, record.size);
        if (Wide(record.compressedSize)) U64(extra, record.compressedSize);
        if (Wide(offset)) U64(extra, offset);
        std::string header;
        U32(header, 0x02014B50);
        U16(header, extra.empty() ? MadeByDos : Zip64Version);
        U16(header, extra.empty() ? 20 : Zip64Version);
        U16(header, Utf8Flag);
        U16(header, record.method);
        U16(header, 0);
        U16(header, DosDate1980);
        U32(header, record.crc);
        U32(header, Wide(record.compressedSize) ? Escape32 : record.compressedSize);
        U32(header, Wide(record.size) ? Escape32 : record.size);
        U16(header, record.name.size());
        U16(header, extra.empty() ? 0 : extra.size() + 4);
        U16(header, 0);  // comment
        U16(header, 0);  // disk
        U16(header, 0);  // internal attributes
        U32(header, !record.name.empty() && record.name.back() == '/' ? DosFolder : 0);
        U32(header, Wide(offset) ? Escape32 : offset);
        header += record.name;
        if (!extra.empty()) {
            U16(header, 1);
            U16(header, extra.size());
            header += extra;
        }
        Put(header);
    }
    const uint64_t directorySize = written_ - directoryAt, count = entries_.size();
    const bool wide = count >= 0xFFFF || Wide(directoryAt) || Wide(directorySize);
    std::string end;
    if (wide) {
        const uint64_t zip64At = written_;
        U32(end, 0x06064B50);
        U64(end, 44);
        U16(end, Zip64Version);
        U16(end, Zip64Version);
        U32(end, 0);
        U32(end, 0);
        U64(end, count);
        U64(end, count);
        U64(end, directorySize);
        U64(end, directoryAt);
        U32(end, 0x07064B50);
        U32(end, 0);
        U64(end, zip64At);
        U32(end, 1);
    }
    U32(end, 0x06054B50);
    U16(end, 0);
    U16(end, 0);
    U16(end, wide ? 0xFFFF : count);
    U16(end, wide ? 0xFFFF : count);
    U32(end, wide ? Escape32 : directorySize);
    U32(end, wide ? Escape32 : directoryAt);
    U16(end, 0);
    Put(end);
    return written_;
}

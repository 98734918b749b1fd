#include "publish/patches.h"

#include <zlib.h>

#include <map>
#include <set>
#include <stdexcept>

#include "publish/build_entries.h"

namespace {

constexpr size_t ChunkSize = 1 << 20;
constexpr uint64_t ProbeBytes = 256 << 10;
constexpr size_t ProbeStep = 64 << 10;

// Literal bytes on their way into the zip: their CRC and count taken, and
// deflated (or not) into `put`, which may be empty to size them only.
class LiteralPacker : public ByteSink {
  public:
    LiteralPacker(bool deflated, BytesOut put) : deflated_(deflated), put_(std::move(put)) {
        if (deflated_ && deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8,
                                      Z_DEFAULT_STRATEGY) != Z_OK) {
            throw std::bad_alloc();
        }
    }
    ~LiteralPacker() override {
        if (deflated_) deflateEnd(&stream_);
    }
    LiteralPacker(const LiteralPacker&) = delete;
    LiteralPacker& operator=(const LiteralPacker&) = delete;

    void Write(const char* data, size_t count) override {
        crc_ = static_cast<uint32_t>(
            crc32(crc_, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(count)));
        const uint64_t before = size_;
        size_ += count;
        for (size_t at = 0; deflated_ && !gaveUp_ && at < count; at += ProbeStep) {
            Pump(data + at, std::min(ProbeStep, count - at), Z_NO_FLUSH);
            // Sizing only: bytes that have not shrunk by a tenth by now
            // (random bytes of packs, mostly) are stored without deflating
            // the rest; deflate holds back up to a block of its output.
            const uint64_t fed = before + std::min(count, at + ProbeStep);
            gaveUp_ = !put_ && fed >= ProbeBytes && packed_ * 10 >= fed * 9;
        }
        if (!deflated_) {
            packed_ += count;
            if (put_) put_(data, count);
        }
    }
    ZipRecord Finish(const std::string& name) {
        if (gaveUp_) return {name, 0, crc_, size_, size_};
        if (deflated_) Pump(nullptr, 0, Z_FINISH);
        return {name, static_cast<uint16_t>(deflated_ ? 8 : 0), crc_, packed_, size_};
    }

  private:
    void Pump(const char* data, size_t count, int flush) {
        std::vector<char>& out = out_;
        if (out.empty()) out.resize(ChunkSize);
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = static_cast<uInt>(count);
        do {
            stream_.next_out = reinterpret_cast<Bytef*>(out.data());
            stream_.avail_out = static_cast<uInt>(out.size());
            deflate(&stream_, flush);
            const size_t made = out.size() - stream_.avail_out;
            packed_ += made;
            if (made > 0 && put_) put_(out.data(), made);
        } while (stream_.avail_out == 0);
    }

    bool deflated_;
    bool gaveUp_ = false;
    BytesOut put_;
    std::vector<char> out_;
    z_stream stream_{};
    uint32_t crc_ = 0;
    uint64_t size_ = 0;
    uint64_t packed_ = 0;
};

// Each file entry of the build by the index's path.
std::map<std::string, const ZipEntry*> EntriesByPath(const std::vector<ZipEntry>& entries) {
    std::map<std::string, const ZipEntry*> byPath;
    for (const ZipEntry& entry : entries) {
        if (!entry.isFolder) byPath.emplace(IndexNameOf(entry), &entry);
    }
    return byPath;
}

const ZipEntry& EntryOf(const std::map<std::string, const ZipEntry*>& byPath,
                        const std::string& path) {
    const auto found = byPath.find(path);
    if (found == byPath.end()) {
        throw std::runtime_error("The build holds no entry \"" + path + "\" that its index lists");
    }
    return *found->second;
}

// The literal runs' bytes of the build's `entry`: a stored entry is read at
// the runs' offsets, a deflated one unpacked up to its last run.
void LiteralBytes(ByteRangeSource& build, const ZipEntry& entry,
                  const std::vector<MatchedRun>& runs, ByteSink& into) {
    if (entry.method != 0) {
        EntryStream in(build, entry);
        WriteLiteralBytes(runs, in, into);
        return;
    }
    std::vector<char> buffer(ChunkSize);
    for (const MatchedRun& run : runs) {
        if (run.source != LiteralSource) continue;
        for (uint64_t at = run.newOffset, end = run.newOffset + run.length; at < end;) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - at));
            build.ReadAt(entry.dataOffset + at, buffer.data(), count);
            into.Write(buffer.data(), count);
            at += count;
        }
    }
}

}  // namespace

ZipRecord LiteralRecord(ByteRangeSource& build, const ZipEntry& entry,
                        const std::vector<MatchedRun>& runs, size_t output) {
    const std::string name = LiteralEntryName(output);
    LiteralPacker packed(true, nullptr);
    LiteralBytes(build, entry, runs, packed);
    const ZipRecord record = packed.Finish(name);
    if (record.compressedSize < record.size) return record;
    return {name, 0, record.crc, record.size, record.size};
}

uint64_t WritePatch(const std::filesystem::path& build, const std::vector<ZipEntry>& entries,
                    const PatchContent& content, const BytesOut& out) {
    const std::map<std::string, const ZipEntry*> byPath = EntriesByPath(entries);
    const std::unique_ptr<FileRange> in = out ? std::make_unique<FileRange>(build) : nullptr;
    ZipWriter zip(out);
    if (!content.delta.outputs.empty()) {
        const std::string operations = FormatDeltaOperations(content.delta);
        const auto crc =
            static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(operations.data()),
                                        static_cast<uInt>(operations.size())));
        zip.Begin(
            {std::string(DeltaOperationsEntry), 0, crc, operations.size(), operations.size()});
        zip.Data(operations.data(), operations.size());
        for (size_t n = 0; n < content.delta.outputs.size(); ++n) {
            const ZipRecord& record = content.literals[n];
            if (record.name.empty()) continue;
            zip.Begin(record);
            if (!out) {
                zip.SkipData(record.compressedSize);
                continue;
            }
            LiteralPacker packer(record.method == 8,
                                 [&zip](const char* data, size_t size) { zip.Data(data, size); });
            LiteralBytes(*in, EntryOf(byPath, content.delta.outputs[n].path), content.runs[n],
                         packer);
            const ZipRecord again = packer.Finish(record.name);
            if (again.crc != record.crc || again.compressedSize != record.compressedSize) {
                throw std::runtime_error("The build changed while its patch was written");
            }
        }
    }
    std::set<std::string> wanted;
    for (const IndexFile& file : content.whole) {
        EntryOf(byPath, file.path);
        wanted.insert(file.path);
    }
    std::vector<char> buffer(out ? ChunkSize : 0);
    for (const ZipEntry& entry : entries) {
        const std::string& name = IndexNameOf(entry);
        if (entry.isFolder || wanted.erase(name) == 0) continue;
        zip.Begin({name, entry.method, entry.crc, entry.compressedSize, entry.size});
        if (!out) {
            zip.SkipData(entry.compressedSize);
            continue;
        }
        for (uint64_t at = entry.dataOffset, left = entry.compressedSize; left > 0;) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
            in->ReadAt(at, buffer.data(), count);
            zip.Data(buffer.data(), count);
            at += count;
            left -= count;
        }
    }
    return zip.Finish();
}

#include "publish/delta_matcher.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace {

// At most this many blocks keep the table within its limit: two slots of
// eight bytes per block and a byte of filter bits.
constexpr uint64_t MaxBlocks = 1ull << 23;
constexpr uint64_t Multiplier = 0x100000001B3ull;
constexpr size_t WindowCapacity = 8u << 20;
constexpr size_t CompareChunk = 64u << 10;

uint64_t PowerOfTwoAtLeast(uint64_t value) {
    uint64_t power = 1;
    while (power < value) power <<= 1;
    return power;
}

unsigned Log2(uint64_t power) {
    unsigned bits = 0;
    while ((uint64_t{1} << bits) < power) ++bits;
    return bits;
}

uint64_t SlotCount(uint64_t blocks) {
    return std::max<uint64_t>(1024, PowerOfTwoAtLeast(2 * blocks));
}
uint64_t BloomBits(uint64_t blocks) {
    return std::max<uint64_t>(4096, PowerOfTwoAtLeast(8 * blocks));
}

// Fixed random values per byte, so the same builds always give the same patch.
const std::array<uint64_t, 256>& ByteValues() {
    static const std::array<uint64_t, 256> values = [] {
        std::array<uint64_t, 256> made{};
        uint64_t state = 0x7E551C0DE1234567ull;
        for (uint64_t& value : made) {
            state += 0x9E3779B97F4A7C15ull;
            uint64_t z = state;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            value = z ^ (z >> 31);
        }
        return made;
    }();
    return values;
}

// The new file's bytes from `Start()` on, read once, in a buffer of bounded size.
class NewFileWindow {
  public:
    NewFileWindow(ByteStream& in, uint64_t size) : in_(in), size_(size), buffer_(WindowCapacity) {}

    // Pointer to the byte at `from`, with [from, to) buffered; bytes before
    // `keep` may be dropped, and are when the span would not fit otherwise.
    const char* Span(uint64_t from, uint64_t to, uint64_t keep) {
        if (from < start_ || to > size_) throw std::logic_error("new file window misused");
        if (to > start_ + length_) {
            keep = std::max(keep, to > buffer_.size() ? to - buffer_.size() : 0);
            keep = std::min(std::max(keep, start_), from);
            const size_t dropped = static_cast<size_t>(keep - start_);
            std::memmove(buffer_.data(), buffer_.data() + dropped, length_ - dropped);
            length_ -= dropped;
            start_ = keep;
            while (start_ + length_ < to) {
                const size_t room = static_cast<size_t>(
                    std::min<uint64_t>(buffer_.size() - length_, size_ - (start_ + length_)));
                const size_t got = in_.Read(buffer_.data() + length_, room);
                if (got == 0) throw std::runtime_error("A build file ended before its size");
                length_ += got;
            }
        }
        return buffer_.data() + (from - start_);
    }
    uint64_t Start() const { return start_; }
    uint64_t End() const { return start_ + length_; }

  private:
    ByteStream& in_;
    uint64_t size_;
    std::vector<char> buffer_;
    uint64_t start_ = 0;
    size_t length_ = 0;
};

}  // namespace

uint64_t DeltaBlockSize(uint64_t buildBytes) {
    uint64_t size = MinDeltaBlockSize;
    while (buildBytes / size > MaxBlocks) size <<= 1;
    return size;
}

uint64_t DeltaTableBytes(uint64_t buildBytes) {
    const uint64_t blocks = buildBytes / DeltaBlockSize(buildBytes);
    return SlotCount(blocks) * 2 * sizeof(uint32_t) + BloomBits(blocks) / 8;
}

RollingHash::RollingHash(uint64_t blockSize) : blockSize_(blockSize), outFactor_(1) {
    for (uint64_t k = 0; k < blockSize; ++k) outFactor_ *= Multiplier;
}

uint64_t RollingHash::Of(const char* block) const {
    // Four interleaved sums, so the multiplications do not wait on each other:
    // the same value as one sum over the block (its size is a multiple of 4).
    const auto& values = ByteValues();
    const auto* bytes = reinterpret_cast<const unsigned char*>(block);
    constexpr uint64_t M2 = Multiplier * Multiplier, M3 = M2 * Multiplier, M4 = M2 * M2;
    uint64_t lanes[4] = {0, 0, 0, 0};
    for (uint64_t k = 0; k < blockSize_; k += 4) {
        for (int lane = 0; lane < 4; ++lane)
            lanes[lane] = lanes[lane] * M4 + values[bytes[k + lane]];
    }
    return lanes[0] * M3 + lanes[1] * M2 + lanes[2] * Multiplier + lanes[3];
}

uint64_t RollingHash::Roll(uint64_t hash, char out, char in) const {
    const auto& values = ByteValues();
    return hash * Multiplier - values[static_cast<unsigned char>(out)] * outFactor_ +
           values[static_cast<unsigned char>(in)];
}

SourceBlockTable::SourceBlockTable(const std::vector<uint64_t>& sourceSizes) : sizes_(sourceSizes) {
    uint64_t total = 0;
    for (const uint64_t size : sizes_) total += size;
    blockSize_ = DeltaBlockSize(total);
    uint64_t blocks = 0;
    for (const uint64_t size : sizes_) {
        firstBlock_.push_back(static_cast<uint32_t>(blocks));
        blocks += size / blockSize_;
    }
    const uint64_t slots = SlotCount(blocks);
    slotTag_.assign(slots, 0);
    slotBlock_.assign(slots, 0);
    slotShift_ = 64 - Log2(slots);
    const uint64_t bits = BloomBits(blocks);
    bloom_.assign(bits / 64, 0);
    bloomShift_ = 64 - Log2(bits);
    pending_.reserve(blockSize_);
}

void SourceBlockTable::Add(uint32_t source, const char* data, size_t count) {
    if (source != source_) {
        source_ = source;
        fed_ = 0;
        pending_.clear();
    }
    const RollingHash rolling(blockSize_);
    while (count > 0) {
        const uint32_t block = firstBlock_[source] + static_cast<uint32_t>(fed_ / blockSize_);
        if (pending_.empty() && count >= blockSize_) {
            Insert(rolling.Of(data), block);
            data += blockSize_;
            count -= blockSize_;
            fed_ += blockSize_;
            continue;
        }
        const size_t take = std::min<size_t>(count, blockSize_ - pending_.size());
        pending_.insert(pending_.end(), data, data + take);
        data += take;
        count -= take;
        fed_ += take;
        if (pending_.size() == blockSize_) {
            Insert(rolling.Of(pending_.data()), block);
            pending_.clear();
        }
    }
}

void SourceBlockTable::Insert(uint64_t hash, uint32_t block) {
    const uint64_t bit = (hash * 0x9E3779B97F4A7C15ull) >> bloomShift_;
    bloom_[bit >> 6] |= uint64_t{1} << (bit & 63);
    const uint32_t tag = static_cast<uint32_t>(hash);
    const uint64_t mask = slotTag_.size() - 1;
    for (uint64_t slot = hash >> slotShift_;; slot = (slot + 1) & mask) {
        if (slotBlock_[slot] == 0) {
            slotTag_[slot] = tag;
            slotBlock_[slot] = block + 1;
            return;
        }
        if (slotTag_[slot] == tag) return;  // the same block again: the first one serves
    }
}

bool SourceBlockTable::Find(uint64_t hash, uint32_t& source, uint64_t& offset) const {
    const uint32_t tag = static_cast<uint32_t>(hash);
    const uint64_t mask = slotTag_.size() - 1;
    for (uint64_t slot = hash >> slotShift_; slotBlock_[slot] != 0; slot = (slot + 1) & mask) {
        if (slotTag_[slot] != tag) continue;
        const uint32_t block = slotBlock_[slot] - 1;
        const auto after = std::upper_bound(firstBlock_.begin(), firstBlock_.end(), block);
        // Sources without a block share their number with the next one: the
        // last source of that number holds it.
        source = static_cast<uint32_t>(after - firstBlock_.begin() - 1);
        offset = uint64_t{block - firstBlock_[source]} * blockSize_;
        return true;
    }
    return false;
}

std::vector<MatchedRun> FindDeltaRuns(const SourceBlockTable& table, ByteStream& newFile,
                                      uint64_t newSize,
                                      const std::function<ByteRangeSource&(uint32_t)>& source) {
    const uint64_t blockSize = table.BlockSize();
    const RollingHash rolling(blockSize);
    NewFileWindow window(newFile, newSize);
    std::vector<char> sourceBytes(std::max<size_t>(CompareChunk, blockSize));
    std::vector<MatchedRun> runs;
    uint64_t literalStart = 0;  // where the bytes not yet matched begin
    uint64_t pos = 0;
    bool hashed = false;
    uint64_t hash = 0;
    while (newSize >= blockSize && pos <= newSize - blockSize) {
        // Roll along the buffered bytes until a block of the table begins at pos.
        const uint64_t spanEnd = std::min<uint64_t>(newSize, pos + WindowCapacity / 2);
        const char* at = window.Span(pos, spanEnd, literalStart);
        const uint64_t lastStart = spanEnd - blockSize;  // the last window start buffered
        uint32_t matchSource = 0;
        uint64_t matchOffset = 0;
        bool matched = false;
        for (;;) {
            if (!hashed) {
                hash = rolling.Of(at);
                hashed = true;
            }
            if (table.MayHold(hash) && table.Find(hash, matchSource, matchOffset)) {
                source(matchSource).ReadAt(matchOffset, sourceBytes.data(), blockSize);
                if (std::memcmp(sourceBytes.data(), at, blockSize) == 0) {
                    matched = true;
                    break;
                }
            }
            if (pos == lastStart) break;
            hash = rolling.Roll(hash, at[0], at[blockSize]);
            ++at;
            ++pos;
        }
        if (!matched) {
            if (spanEnd == newSize) break;
            continue;  // refill from pos, the window keeps its hash
        }
        // Backward, over bytes not yet matched and still buffered.
        uint64_t back = 0;
        const uint64_t backLimit =
            std::min(pos - std::max(literalStart, window.Start()), matchOffset);
        while (back < backLimit) {
            const size_t count =
                static_cast<size_t>(std::min<uint64_t>(CompareChunk, backLimit - back));
            const uint64_t from = matchOffset - back - count;
            source(matchSource).ReadAt(from, sourceBytes.data(), count);
            const char* mine = window.Span(pos - back - count, pos - back, window.Start());
            size_t same = 0;
            while (same < count && mine[count - 1 - same] == sourceBytes[count - 1 - same]) ++same;
            back += same;
            if (same < count) break;
        }
        // Forward, as far as both files agree.
        uint64_t end = pos + blockSize;
        uint64_t sourceAt = matchOffset + blockSize;
        const uint64_t sourceSize = table.SourceSize(matchSource);
        while (end < newSize && sourceAt < sourceSize) {
            const size_t count = static_cast<size_t>(
                std::min<uint64_t>({CompareChunk, newSize - end, sourceSize - sourceAt}));
            source(matchSource).ReadAt(sourceAt, sourceBytes.data(), count);
            const char* mine = window.Span(end, end + count, end);
            size_t same = 0;
            if (std::memcmp(mine, sourceBytes.data(), count) == 0) {
                same = count;
            } else {
                while (mine[same] == sourceBytes[same]) ++same;
            }
            end += same;
            sourceAt += same;
            if (same < count) break;
        }
        if (pos - back > literalStart) {
            runs.push_back({LiteralSource, 0, literalStart, pos - back - literalStart});
        }
        runs.push_back({matchSource, matchOffset - back, pos - back, end - (pos - back)});
        pos = literalStart = end;
        hashed = false;
    }
    if (newSize > literalStart) {
        runs.push_back({LiteralSource, 0, literalStart, newSize - literalStart});
    }
    return runs;
}

DeltaOutput DeltaOutputOf(const std::vector<MatchedRun>& runs, const std::string& path,
                          uint64_t size, const std::string& sha256) {
    DeltaOutput output{path, size, sha256, {}, 0};
    for (const MatchedRun& run : runs) {
        output.operations.push_back(
            {run.source, run.source == LiteralSource ? 0 : run.offset, run.length});
        if (run.source == LiteralSource) output.literalBytes += run.length;
    }
    return output;
}

bool DeltaIsSmaller(const DeltaOutput& output) {
    const bool copies = std::any_of(
        output.operations.begin(), output.operations.end(),
        [](const DeltaOperation& operation) { return operation.source != LiteralSource; });
    if (!copies) return false;
    DeltaOperations alone;
    alone.outputs.push_back(output);
    return output.literalBytes + FormatDeltaOperations(alone).size() < output.size;
}

void WriteLiteralBytes(const std::vector<MatchedRun>& runs, ByteStream& newFile, ByteSink& into) {
    std::vector<char> buffer(CompareChunk);
    uint64_t at = 0;  // bytes of the new file read so far
    for (const MatchedRun& run : runs) {
        if (run.source != LiteralSource) continue;
        for (uint64_t end = run.newOffset + run.length; at < end;) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(
                buffer.size(), at < run.newOffset ? run.newOffset - at : end - at));
            const size_t got = newFile.Read(buffer.data(), count);
            if (got == 0) throw std::runtime_error("A build file ended before its size");
            if (at >= run.newOffset) into.Write(buffer.data(), got);
            at += got;
        }
    }
}

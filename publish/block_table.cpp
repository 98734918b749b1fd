#include "publish/block_table.h"

#include <algorithm>
#include <array>

namespace {

// At most this many blocks keep the table within its limit: two slots of
// eight bytes per block and a byte of filter bits.
constexpr uint64_t MaxBlocks = 1ull << 23;
constexpr uint64_t Multiplier = 0x100000001B3ull;

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

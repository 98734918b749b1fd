#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The earlier build's blocks for the release tool's matcher: every whole
// block of every file under a rolling hash, in a table whose size the
// block-size rule bounds. No file is kept; the bytes are streamed through.

// The block size for an earlier build of `buildBytes`: a power of two of at
// least MinDeltaBlockSize, large enough that the table keeps within
// DeltaTableLimit at any build size.
inline constexpr uint64_t MinDeltaBlockSize = 1024;
inline constexpr uint64_t DeltaTableLimit = 256ull << 20;
uint64_t DeltaBlockSize(uint64_t buildBytes);
// The table's memory for that build.
uint64_t DeltaTableBytes(uint64_t buildBytes);

class SourceBlockTable {
  public:
    // The earlier build's file sizes, in source number order.
    explicit SourceBlockTable(const std::vector<uint64_t>& sourceSizes);

    // Gives the sources' bytes, source after source, each in order, in
    // pieces of any size.
    void Add(uint32_t source, const char* data, size_t count);

    uint64_t BlockSize() const { return blockSize_; }
    uint64_t SourceSize(uint32_t source) const { return sizes_[source]; }

    // Where a block with this rolling hash begins; false when none.
    bool Find(uint64_t hash, uint32_t& source, uint64_t& offset) const;
    bool MayHold(uint64_t hash) const {
        const uint64_t bit = (hash * 0x9E3779B97F4A7C15ull) >> bloomShift_;
        return (bloom_[bit >> 6] >> (bit & 63)) & 1;
    }

  private:
    void Insert(uint64_t hash, uint32_t block);

    uint64_t blockSize_;
    std::vector<uint64_t> sizes_;
    std::vector<uint32_t> firstBlock_;  // each source's first block number
    std::vector<uint32_t> slotTag_;     // open addressing: hash bits, and
    std::vector<uint32_t> slotBlock_;   // block number + 1 (0: empty)
    std::vector<uint64_t> bloom_;       // one bit per hash, checked first
    unsigned slotShift_ = 0;
    unsigned bloomShift_ = 0;
    // The block being filled.
    std::vector<char> pending_;
    uint32_t source_ = 0;
    uint64_t fed_ = 0;
};

// The rolling hash of one block, and its step by one byte.
class RollingHash {
  public:
    explicit RollingHash(uint64_t blockSize);
    uint64_t Of(const char* block) const;
    uint64_t Roll(uint64_t hash, char out, char in) const;

  private:
    uint64_t blockSize_;
    uint64_t outFactor_;  // the multiplier to the power of the block size
};

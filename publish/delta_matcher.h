#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "store/byte_io.h"
#include "store/delta_ops.h"

// Finds, for a file of the new build, the runs it shares with any file of the
// earlier build (the rsync algorithm): a table of every whole block of the
// earlier build under a rolling hash, looked up at every offset of the new
// file, each candidate compared byte for byte and its match extended both
// ways. Memory: the table, bounded by the block-size rule, and buffers of a
// few MiB; the files themselves are streamed.

// The block size for an earlier build of `buildBytes`: a power of two of at
// least MinDeltaBlockSize, large enough that the table keeps within
// DeltaTableLimit at any build size.
inline constexpr uint64_t MinDeltaBlockSize = 1024;
inline constexpr uint64_t DeltaTableLimit = 256ull << 20;
uint64_t DeltaBlockSize(uint64_t buildBytes);
// The table's memory for that build.
uint64_t DeltaTableBytes(uint64_t buildBytes);

// A run of the new file: bytes of a source (its number, `offset` in it), or
// literal bytes at `newOffset` of the new file.
struct MatchedRun {
    uint32_t source = LiteralSource;
    uint64_t offset = 0;
    uint64_t newOffset = 0;
    uint64_t length = 0;
};

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

// The runs that make the new file, read once from `newFile` (`newSize`
// bytes), in order; `source(n)` reads the earlier build's file number n.
std::vector<MatchedRun> FindDeltaRuns(const SourceBlockTable& table, ByteStream& newFile,
                                      uint64_t newSize,
                                      const std::function<ByteRangeSource&(uint32_t)>& source);

// The runs as an output's operations, and what they cost in the patch.
DeltaOutput DeltaOutputOf(const std::vector<MatchedRun>& runs, const std::string& path,
                          uint64_t size, const std::string& sha256);
// True when the output's literal bytes and operation lines weigh less than the
// whole file; otherwise the patch carries the file whole.
bool DeltaIsSmaller(const DeltaOutput& output);

// Writes the literal runs' bytes to `into`, in order, reading the new file
// once more from its start: the content of the output's literal entry.
void WriteLiteralBytes(const std::vector<MatchedRun>& runs, ByteStream& newFile, ByteSink& into);

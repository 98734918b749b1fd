#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "publish/block_table.h"
#include "format/byte_io.h"
#include "format/delta_ops.h"

// Finds, for a file of the new build, the runs it shares with any file of the
// earlier build (the rsync algorithm): a table of every whole block of the
// earlier build under a rolling hash, looked up at every offset of the new
// file, each candidate compared byte for byte and its match extended both
// ways. Memory: the table, bounded by the block-size rule, and buffers of a
// few MiB; the files themselves are streamed.

// A run of the new file: bytes of a source (its number, `offset` in it), or
// literal bytes at `newOffset` of the new file.
struct MatchedRun {
    uint32_t source = LiteralSource;
    uint64_t offset = 0;
    uint64_t newOffset = 0;
    uint64_t length = 0;
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

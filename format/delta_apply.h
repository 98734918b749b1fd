#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/byte_io.h"
#include "format/delta_ops.h"
#include "format/zip_directory.h"

// Rebuilding a block-level patch's files, over byte interfaces the caller
// backs with its own files and digest. No Windows calls; memory stays bounded
// whatever the file sizes.

// The operations, read straight from the patch zip, whose first entry they
// must be, stored: `first` is the zip's first record, `zip` the patch. Checks
// the entry's local header and CRC-32. Fails with "The delta patch is not
// usable".
std::string ReadDeltaOperationsEntry(ByteRangeSource& zip, const ZipEntry& first);

// What tar.exe will write for the patch, once its records are checked against
// the operations and the index.
struct DeltaPatchBytes {
    uint64_t literal = 0;  // the entries under DeltaFolder, operations included
    uint64_t whole = 0;    // the whole files at their build paths
};

// Judges the patch's zip records before anything is unpacked: the operations
// entry first and stored; under DeltaFolder nothing but one literal entry per
// output that has literal bytes, of exactly that many bytes; each other file
// entry a file of the index of the index's size, and no output; every other
// entry refused as Windows would store it otherwise (FindWindowsEntryProblem).
// Fails as above.
DeltaPatchBytes CheckDeltaPatchEntries(const std::vector<ZipEntry>& entries,
                                       const DeltaOperations& operations, const BuildIndex& index);

// Writes output number `output` to `into`: copies read from `source(n)` (the
// earlier build's file of source number n, already checked for its size and
// digest), literal runs read in order from `literals` (its literal entry,
// unpacked; nothing when it has none). Fails as above when the literal bytes
// are not exactly the operations' count; the caller compares the digest it
// took while writing with the output's.
void ApplyDeltaOutput(const DeltaOperations& operations, size_t output,
                      const std::function<ByteRangeSource&(uint32_t)>& source, ByteStream* literals,
                      ByteSink& into);

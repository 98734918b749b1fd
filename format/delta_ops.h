#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/build_index.h"

// The operations of a block-level patch: how each file it changes is rebuilt
// from files of the earlier build and bytes the patch carries. No Windows calls.
//
// Text, UTF-8, one record a line, each ended by a line feed:
//   tessik-delta 1
//   source <size> <sha256> <path>     the earlier build's files, numbered from 0
//   output <size> <sha256> <path>     a file of the new build, numbered from 0,
//   copy <source> <offset> <length>     followed by its operations in order:
//   literal <length>                    bytes of a source, or of the patch
// All sources come before the first output. Numbers are decimal without
// leading zeros; lengths are never 0; an empty output has no operation. Paths
// are the index's, "/" between elements, the rest of their line.
//
// In the patch zip the operations are the first entry, stored (not deflated)
// under DeltaOperationsEntry, so that they can be read and checked before
// tar.exe runs. Output N's literal bytes, all its literal runs one after the
// other, are the entry LiteralEntryName(N), present exactly when it has any;
// every other entry is a whole file of the new build at its own path.

// The largest operations file read (a 64 GiB build changed everywhere fits).
inline constexpr size_t DeltaOperationsLimit = 64u << 20;

// The folder of the patch's own entries. A build with a path element of this
// name (as NTFS folds it) gets whole-file patches only.
inline constexpr std::string_view DeltaFolder = ".tessik-delta";
inline constexpr std::string_view DeltaOperationsEntry = ".tessik-delta/operations";
std::string LiteralEntryName(size_t output);

// True when an element of `path` is the patch's own folder on NTFS.
bool HoldsDeltaFolderName(std::string_view path);

inline constexpr uint32_t LiteralSource = UINT32_MAX;

struct DeltaOperation {
    uint32_t source = LiteralSource;  // a source's number, or LiteralSource
    uint64_t offset = 0;              // in the source; 0 for literal bytes
    uint64_t length = 0;
};

struct DeltaSource {
    std::string path;
    uint64_t size = 0;
    std::string sha256;
};

struct DeltaOutput {
    std::string path;
    uint64_t size = 0;
    std::string sha256;
    std::vector<DeltaOperation> operations;
    uint64_t literalBytes = 0;  // the sum of its literal lengths
};

struct DeltaOperations {
    std::vector<DeltaSource> sources;
    std::vector<DeltaOutput> outputs;
};

std::string FormatDeltaOperations(const DeltaOperations& operations);

// Reads operations and checks every one of them before a byte is written: a
// copy within its source, lengths that add up to the output's size without
// overflow, paths the launcher may create as written (the index's rules), no
// path twice, sources before outputs. Fails with "The delta patch is not
// usable".
DeltaOperations ParseDeltaOperations(std::string_view text);

// Every output is a file of the index with the same size and digest, and no
// path of the index holds the patch's own folder name. Fails as above.
void CheckDeltaAgainstIndex(const DeltaOperations& operations, const BuildIndex& index);

#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "publish/delta_matcher.h"
#include "publish/zip_writer.h"
#include "format/build_index.h"
#include "format/delta_ops.h"
#include "format/zip_directory.h"

// What one patch carries, decided once before it is sized and written: each
// new or changed file of the build either whole, or rebuilt from files of the
// earlier build (publish/patch_content.h decides which).
struct PatchContent {
    std::vector<IndexFile> whole;               // copied as the build stores them
    DeltaOperations delta;                      // no output: a patch of whole files only
    std::vector<std::vector<MatchedRun>> runs;  // each output's, for its literal bytes
    std::vector<ZipRecord> literals;            // each output's literal entry; an empty name: none
};

// The record of output `output`'s literal entry, its bytes read from the
// build's `entry` (in the zip `build`) along `runs`: deflated when that
// gains, stored otherwise.
ZipRecord LiteralRecord(ByteRangeSource& build, const ZipEntry& entry,
                        const std::vector<MatchedRun>& runs, size_t output);

// Writes through `out` the patch of the game archive `build`, whose zip
// records are `entries` (ReadZipDirectory). A delta patch starts with the
// operations, stored, then each output's literal entry in output order; then
// come the whole files, each entry copied as it stands in the build (its
// stored bytes, method, CRC and sizes), never unpacked or packed again, in the
// build's order. Nothing to carry makes an empty zip. With a null `out`
// nothing is read or written and only the size is known. Returns the patch's
// size in bytes.
uint64_t WritePatch(const std::filesystem::path& build, const std::vector<ZipEntry>& entries,
                    const PatchContent& content, const BytesOut& out);

#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "publish/zip_writer.h"
#include "store/build_index.h"
#include "store/zip_directory.h"

// Writes through `out` the patch that carries `files` of the game archive
// `build`, whose zip records are `entries` (ReadZipDirectory): each entry is
// copied as it stands in the build (its stored bytes, method, CRC and sizes),
// never unpacked or packed again, in the build's order. An empty list makes an
// empty zip. With a null `out` nothing is read or written and only the size
// is known. Returns the patch's size in bytes.
uint64_t WritePatch(const std::filesystem::path& build, const std::vector<ZipEntry>& entries,
                    const std::vector<IndexFile>& files, const ByteSink& out);

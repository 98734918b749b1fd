#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/scoped_handle.h"
#include "format/build_index.h"
#include "format/delta_ops.h"

// Digests by NTFS key of the files whose bytes were hashed as they were written.
using KnownDigests = std::map<std::string, std::string>;

// A block-level patch, downloaded, verified and held open. Every check is made
// when it is constructed, before tar.exe runs or a byte is written: its
// operations against the index and its zip records against the operations,
// and each source it copies from, in the stored build `source`, for its size
// and digest. Any failure raises "The delta patch is not usable" (or a read
// failure's sentence), and the caller installs the full archive.
class DeltaInstallation {
  public:
    DeltaInstallation(HANDLE held, const BuildIndex& index, const std::filesystem::path& source);

    // The NTFS keys of the files the patch provides, whole or as a delta.
    const std::set<std::string>& Provided() const { return provided_; }
    // Every byte the installation writes: literal entries, whole files and
    // the rebuilt files.
    uint64_t BytesWritten() const { return bytesWritten_; }

    // Unpacks the literal entries into `literals` (beside the staged tree,
    // never inside it) and the whole files into `unpacked`, then writes each
    // rebuilt file once into `unpacked`, hashed as written; their digests go
    // into `known`. The literals are removed afterwards.
    void Install(const std::filesystem::path& patch, const std::filesystem::path& literals,
                 const std::filesystem::path& unpacked, KnownDigests& known);

  private:
    DeltaOperations operations_;
    // Held sharing reading only from their check until every file is written,
    // so none changes between its digest and its copies.
    std::vector<KernelHandle> sources_;
    std::set<std::string> provided_;
    uint64_t bytesWritten_ = 0;
};

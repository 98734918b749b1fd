#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// A build index lists every file of one game build (its path as in the
// archive, its size and SHA-256), the folders that hold no file, and the
// patches that lead to this build from earlier ones. The release tool writes
// it; the launcher assembles a build from stored files and a patch and checks
// the result against it. No Windows calls.
//
// Text, UTF-8, one record a line, each ended by a line feed:
//   tessik-build-index 1
//   build <sha256 of the archive> <version>
//   file <size> <sha256> <path>
//   folder <path>
//   patch <sha256> <earlier version>
//   delta <sha256> <earlier version>
// Paths use "/" and never end with one; the path or version is the rest of
// its line. A "patch" holds whole files; a "delta" is a block-level patch
// (store/delta_ops.h), whose lines appear only under the header
// "tessik-build-index 2". An index with no delta line keeps the header of
// format 1, which launchers that know only whole-file patches read.

// The largest index read: a 100,000-file build with long paths fits.
inline constexpr size_t BuildIndexLimit = 64u << 20;

struct IndexFile {
    std::string path;
    uint64_t size = 0;
    std::string sha256;  // 64 lowercase hex digits
};

struct IndexPatch {
    std::string sha256;
    std::string fromVersion;
    bool delta = false;  // block-level operations rather than whole files
};

struct BuildIndex {
    std::string buildSha256;  // the full archive this index describes
    std::string version;
    std::vector<IndexFile> files;
    std::vector<std::string> folders;  // empty folders only
    std::vector<IndexPatch> patches;
};

std::string FormatBuildIndex(const BuildIndex& index);

// Reads an index and checks every path as the launcher checks archive entries
// and as Windows would store it: nothing that leaves the build, nothing
// Windows' tar.exe would rename, no two entries that are one on NTFS, and
// "tessik.exe" at the top. Fails with "The build index is not usable".
BuildIndex ParseBuildIndex(std::string_view text);

// A path the launcher may create exactly as written: a plain index path,
// inside the build, and stored by Windows under this very name.
bool IsUsableIndexPath(std::string_view path);

// How NTFS tells two paths apart: "/" between elements ("\\" counts as one),
// no empty elements, letter case folded. Every list of build paths (index,
// patch, tree on disk) is keyed by it.
std::string IndexPathKey(std::string_view path);

// A path written the one way the index writes paths: "/" between elements,
// no "\\", no empty element (so none at the start or end).
bool IsPlainIndexPath(std::string_view path);

// The files of `to` that `from` does not hold under the same path (as NTFS
// matches paths) with the same digest: what a patch from `from` must carry.
std::vector<IndexFile> ChangedFiles(const BuildIndex& from, const BuildIndex& to);

// The files of an index by their NTFS key, and every folder key (listed
// folders and the parents of files).
struct IndexLookup {
    explicit IndexLookup(const BuildIndex& index);
    std::map<std::string, const IndexFile*> files;
    std::map<std::string, bool> folders;  // true for a listed empty folder
};

// Where a file named `name` lies beside the build at `buildUrl`: the index and
// the patches are served next to the build, under their digest names.
std::string SiblingAddress(const std::string& buildUrl, const std::string& name);
std::string BuildIndexFileName(const std::string& sha256);
std::string PatchFileName(const std::string& sha256);

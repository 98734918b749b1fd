#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "format/hex.h"
#include "format/sha256.h"

#include "publish/zip_writer.h"

// What one kind of release (the game or the launcher) is called in a release
// folder: its manifest, its build names and the executable a manifest names.
struct ReleaseKind {
    const char* name;          // "game" or "launcher"
    const char* manifestPath;  // relative to the folder
    const char* stem;          // builds/<stem>-<version>-<sha256><extension>
    const char* extension;
    const char* executable;
};
const ReleaseKind& GameKind();
const ReleaseKind& LauncherKind();

// A build file in "builds/", told apart by its name.
struct BuildFile {
    std::filesystem::path file;
    std::string name;  // the file name
    std::string version;
    std::string sha256;
};
std::string BuildFileName(const ReleaseKind& kind, const std::string& version,
                          const std::string& sha256);
std::optional<BuildFile> ParseBuildFileName(const ReleaseKind& kind,
                                            const std::filesystem::path& file);
std::vector<BuildFile> BuildsOf(const ReleaseKind& kind, const std::filesystem::path& folder);

// The digest as the launcher writes it: 64 lowercase hex digits, read in one
// pass with constant memory.
std::string Sha256OfFile(const std::filesystem::path& file);

// Copies `source` once into a new temporary file under the folder's private
// ".incoming/" (never served), taking its digest as it goes; the copy is
// flushed to disk. Removed by the destructor unless moved into place.
class IncomingFile {
  public:
    IncomingFile(const std::filesystem::path& folder, const std::filesystem::path& source);
    // A temporary file holding `bytes`, flushed.
    IncomingFile(const std::filesystem::path& folder, const std::string& bytes);
    // A temporary file holding what `produce` writes through the sink it is
    // given, digested as it is written, flushed.
    IncomingFile(const std::filesystem::path& folder,
                 const std::function<void(const BytesOut&)>& produce);
    ~IncomingFile();
    IncomingFile(const IncomingFile&) = delete;
    IncomingFile& operator=(const IncomingFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    const std::string& sha256() const { return sha256_; }
    uint64_t size() const { return size_; }
    // Renames it over `target` (made with its folder if missing), then
    // flushes the folder, so the name and the content arrive together.
    void MoveTo(const std::filesystem::path& target);

  private:
    void Prepare(const std::filesystem::path& folder);
    // Creates the temporary file and fills it from `produce`, digesting it.
    void Write(const std::filesystem::path& folder,
               const std::function<void(const BytesOut&)>& produce);
    void Cleanup() noexcept;

    std::filesystem::path path_;
    std::string sha256_;
    uint64_t size_ = 0;
    std::filesystem::path createdFolder_;  // the release folder, when this made it
    bool moved_ = false;
};

// The sentence for a write that failed because the disk is full.
extern const char DiskFullSentence[];

// Refuses, before anything is written, a write of `bytes` into the release
// folder (or, while it does not exist yet, the folder that will hold it)
// that its disk has no room for, saying how much was needed and is free.
void RequireFreeSpace(const std::filesystem::path& folder, uint64_t bytes);

// Numeric comparison of dotted versions ("0.1.191" > "0.1.190"); a part that
// is not a number is compared as text.
int CompareVersions(const std::string& a, const std::string& b);

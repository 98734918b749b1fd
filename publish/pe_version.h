#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// What the release tool needs to know of a Windows executable, read from the
// file itself (no Windows call, so it runs on the release machine).
struct ExecutableFacts {
    bool pe32Plus = false;  // a 64-bit (x86-64) PE image
    bool guiSubsystem = false;
    std::map<std::string, std::string> versionStrings;  // the version record, UTF-8
};

// Raises std::runtime_error with one sentence when the bytes are not a PE
// image that can be read this way.
ExecutableFacts ReadExecutableFacts(const std::string& image);

// The application manifest (resource type 24, the first of any id, usually
// 1) of an executable read once, in order and in chunks of any size, as it
// streams out of an archive. Only its headers and the section holding its
// resources (up to 8 MiB of it) are kept, so memory stays bounded whatever
// the file's size.
class ExecutableManifestReader {
  public:
    void Add(const char* data, size_t size);
    // The manifest's bytes; empty when there is none, or when the headers or
    // resources cannot be read (nothing a damaged or hostile file says is
    // trusted, every offset checked against the bytes kept).
    std::string Manifest() const;

  private:
    void Locate();
    std::string head_;
    uint64_t seen_ = 0;
    uint64_t keepFrom_ = 0, keepTo_ = 0;  // the resources' section, past the head
    std::string kept_;
    uint64_t keptAt_ = 0;
};

// True when the first bytes of a file (at least its headers) are those of a
// Windows program: an MZ stub, a PE header, an executable image, not a DLL.
bool IsWindowsProgramHeader(const std::string& head);

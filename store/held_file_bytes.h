#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <vector>

#include "service/digest.h"
#include "format/byte_io.h"
#include "format/zip_directory.h"

// The portable byte interfaces over files the launcher holds open: whoever
// opened the handle owns it, and it must outlive these.

// Reads at any offset of a held file; a failed or short read raises `failure`.
class HeldFileRange : public ByteRangeSource {
  public:
    HeldFileRange(HANDLE file, const char* failure) : file_(file), failure_(failure) {}
    void ReadAt(uint64_t offset, char* into, size_t count) override;

  private:
    HANDLE file_;
    const char* failure_;
};

// Reads a held file in order from its file pointer.
class HeldFileStream : public ByteStream {
  public:
    HeldFileStream(HANDLE file, const char* failure) : file_(file), failure_(failure) {}
    size_t Read(char* into, size_t most) override;

  private:
    HANDLE file_;
    const char* failure_;
};

// Writes into a held file, hashing the bytes on their way.
class HashingFileSink : public ByteSink {
  public:
    HashingFileSink(HANDLE file, const char* failure)
        : file_(file), failure_(failure), hash_(failure) {}
    void Write(const char* data, size_t count) override;
    // Lowercase hex of everything written.
    std::string FinishHex();

  private:
    HANDLE file_;
    const char* failure_;
    Sha256 hash_;
};

// The zip records of a held file (ReadZipDirectory's rules).
std::vector<ZipEntry> ReadHeldZipDirectory(HANDLE file);

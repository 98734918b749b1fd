#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "base/scoped_handle.h"

// Lowercase hex SHA-256 of the file's whole content, the form in which a
// manifest's digest is held, so that checking a download is one comparison.
std::string Sha256FileHex(const std::filesystem::path& file);
// The same for an open file, read from its start whatever its file pointer.
std::string Sha256OpenFileHex(HANDLE file);

// SHA-256 of bytes held in memory; a failure of the platform raises `failure`.
std::array<unsigned char, 32> Sha256Bytes(const std::string& bytes, const char* failure);

// Raises `failure` on a failing (negative) CNG status.
void CheckCngStatus(NTSTATUS status, const char* failure);

// Lowercase hex of arbitrary bytes, high half of each byte first.
std::string HexEncode(const unsigned char* bytes, size_t count);

// One SHA-256 computation on CNG, fed in pieces; a failing call raises the
// caller's sentence.
class Sha256Hash {
  public:
    explicit Sha256Hash(const char* failure);
    void Add(const void* bytes, size_t count);
    std::array<unsigned char, 32> Finish();

  private:
    const char* failure_;
    // The hash object must outlive the hash handle: declared first, released last.
    std::vector<UCHAR> object_;
    CngHashHandle hash_;
};

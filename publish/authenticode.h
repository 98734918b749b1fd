#pragma once

#include <cstdint>
#include <memory>
#include <string>

// What an executable's Authenticode signature is worth, judged as Windows
// judges the file itself: the digest over the image (all but the checksum,
// the certificate table's entry and the table) must equal the one the
// signature carries, and the signature must check with its signer's key.
// Whether the signer is trusted is left to the player's Windows.
enum class Authenticode { None, Valid, Invalid };

// The verdict as the tool reports it: "yes (Authenticode)", "no",
// "signature present but not valid".
const char* AuthenticodeText(Authenticode verdict);

// Reads an executable in order, in chunks of any size, so a large one inside
// an archive is judged while it streams past.
class AuthenticodeReader {
  public:
    // `head` holds at least the image's headers (the first 64 KiB will do).
    explicit AuthenticodeReader(const std::string& head);
    ~AuthenticodeReader();
    AuthenticodeReader(const AuthenticodeReader&) = delete;
    AuthenticodeReader& operator=(const AuthenticodeReader&) = delete;

    void Add(const char* data, size_t size);
    Authenticode Verdict();

  private:
    struct Digests;
    uint64_t at_ = 0;
    uint64_t checksumAt_ = 0, entryAt_ = 0, tableAt_ = 0, tableSize_ = 0;
    std::string table_;
    std::unique_ptr<Digests> digests_;
};

Authenticode AuthenticodeOf(const std::string& image);

#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

// One SHA-256 taken in pieces, the one face both programs hash through. Each
// links its own body: CNG in the launcher (service/digest.cpp), OpenSSL in the
// release tool (publish/release_folder.cpp).
class Sha256 {
  public:
    // `failure` is the sentence a failing platform call raises (the launcher's;
    // OpenSSL's calls do not fail on valid arguments).
    explicit Sha256(const char* failure = "Windows could not verify the update digest");
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Add(const void* bytes, size_t count);
    std::array<unsigned char, 32> Finish();
    std::string FinishHex();  // 64 lowercase hex digits

  private:
    struct State;
    std::unique_ptr<State> state_;
};

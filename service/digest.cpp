#include "service/digest.h"

#include <vector>

#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/scoped_handle.h"

namespace {

constexpr char DigestFailure[] = "Windows could not verify the update digest";

}  // namespace

namespace {

// Opened once for the process: Microsoft calls opening a provider relatively
// slow and tells callers to keep it; each hash object is the caller's own.
struct SharedAlgorithm {
    CngAlgorithmHandle handle;
    DWORD objectLength = 0;
};

const SharedAlgorithm& Sha256Algorithm() {
    static const SharedAlgorithm algorithm = [] {
        SharedAlgorithm opened;
        BCRYPT_ALG_HANDLE raw = nullptr;
        if (BCryptOpenAlgorithmProvider(&raw, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) {
            return opened;
        }
        opened.handle.reset(raw);
        ULONG written = 0;
        if (BCryptGetProperty(raw, BCRYPT_OBJECT_LENGTH,
                              reinterpret_cast<PUCHAR>(&opened.objectLength),
                              sizeof(opened.objectLength), &written, 0) < 0) {
            opened.handle.reset();
        }
        return opened;
    }();
    return algorithm;
}

}  // namespace

Sha256Hash::Sha256Hash(const char* failure) : failure_(failure) {
    const SharedAlgorithm& algorithm = Sha256Algorithm();
    if (!algorithm.handle) throw LauncherError(failure_);
    object_.resize(algorithm.objectLength);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    CheckCngStatus(BCryptCreateHash(algorithm.handle.get(), &rawHash, object_.data(),
                                    algorithm.objectLength, nullptr, 0, 0),
                   failure_);
    hash_.reset(rawHash);
}

void Sha256Hash::Add(const void* bytes, size_t count) {
    CheckCngStatus(BCryptHashData(hash_.get(), static_cast<PUCHAR>(const_cast<void*>(bytes)),
                                  static_cast<ULONG>(count), 0),
                   failure_);
}

std::array<unsigned char, 32> Sha256Hash::Finish() {
    std::array<unsigned char, 32> digest{};
    CheckCngStatus(
        BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0),
        failure_);
    return digest;
}

void CheckCngStatus(NTSTATUS status, const char* failure) {
    if (status < 0) {
        throw LauncherError(failure);
    }
}

std::string HexEncode(const unsigned char* bytes, size_t count) {
    static constexpr char alphabet[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(alphabet[bytes[i] >> 4]);
        text.push_back(alphabet[bytes[i] & 0x0F]);
    }
    return text;
}

std::array<unsigned char, 32> Sha256Bytes(const std::string& bytes, const char* failure) {
    Sha256Hash hash(failure);
    hash.Add(bytes.data(), bytes.size());
    return hash.Finish();
}

std::string Sha256FileHex(const std::filesystem::path& file) {
    const KernelHandle in = OpenLongPathFile(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (!in) {
        throw LauncherError("Could not reopen the update archive");
    }
    return Sha256OpenFileHex(in.get());
}

std::string Sha256OpenFileHex(HANDLE file) {
    Sha256Hash hash(DigestFailure);
    if (!ReadWholeOpenFile(file,
                           [&](const char* bytes, size_t count) { hash.Add(bytes, count); })) {
        throw LauncherError("Could not reopen the update archive");
    }
    const std::array<unsigned char, 32> digest = hash.Finish();
    return HexEncode(digest.data(), digest.size());
}

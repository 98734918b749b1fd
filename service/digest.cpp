#include "service/digest.h"

#include <memory>
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

// The CNG body of the one SHA-256 face.
struct Sha256::State {
    const char* failure;
    // The hash object must outlive the hash handle: declared first, released last.
    std::vector<UCHAR> object;
    CngHashHandle hash;
};

Sha256::Sha256(const char* failure) : state_(std::make_unique<State>()) {
    state_->failure = failure;
    const SharedAlgorithm& algorithm = Sha256Algorithm();
    if (!algorithm.handle) throw LauncherError(failure);
    state_->object.resize(algorithm.objectLength);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    CheckCngStatus(BCryptCreateHash(algorithm.handle.get(), &rawHash, state_->object.data(),
                                    algorithm.objectLength, nullptr, 0, 0),
                   failure);
    state_->hash.reset(rawHash);
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* bytes, size_t count) {
    CheckCngStatus(BCryptHashData(state_->hash.get(), static_cast<PUCHAR>(const_cast<void*>(bytes)),
                                  static_cast<ULONG>(count), 0),
                   state_->failure);
}

std::array<unsigned char, 32> Sha256::Finish() {
    std::array<unsigned char, 32> digest{};
    CheckCngStatus(
        BCryptFinishHash(state_->hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0),
        state_->failure);
    return digest;
}

std::string Sha256::FinishHex() {
    const std::array<unsigned char, 32> digest = Finish();
    return LowerHex(digest.data(), digest.size());
}

void CheckCngStatus(NTSTATUS status, const char* failure) {
    if (status < 0) {
        throw LauncherError(failure);
    }
}

std::array<unsigned char, 32> Sha256Bytes(const std::string& bytes, const char* failure) {
    Sha256 hash(failure);
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
    Sha256 hash(DigestFailure);
    if (!ReadWholeOpenFile(file,
                           [&](const char* bytes, size_t count) { hash.Add(bytes, count); })) {
        throw LauncherError("Could not reopen the update archive");
    }
    return hash.FinishHex();
}

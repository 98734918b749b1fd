#include "service/digest.h"

#include <fstream>
#include <vector>

#include "base/launcher_error.h"
#include "base/scoped_handle.h"

namespace {

constexpr size_t DigestReadSize = 1048576;

DWORD ReadDwordProperty(BCRYPT_ALG_HANDLE algorithm, const wchar_t* property) {
    DWORD value = 0;
    ULONG written = 0;
    CheckCngStatus(BCryptGetProperty(algorithm, property, reinterpret_cast<PUCHAR>(&value),
                                     sizeof(value), &written, 0));
    return value;
}

}  // namespace

void CheckCngStatus(NTSTATUS status) {
    if (status < 0) {
        throw LauncherError("Windows could not verify the update digest");
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

std::string Sha256FileHex(const std::filesystem::path& file) {
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    CheckCngStatus(BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
    CngAlgorithmHandle algorithm(rawAlgorithm);

    const DWORD objectLength = ReadDwordProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH);
    const DWORD digestLength = ReadDwordProperty(algorithm.get(), BCRYPT_HASH_LENGTH);
    // The hash object must outlive the hash handle: declared first, released last.
    std::vector<UCHAR> hashObject(objectLength, 0);
    std::vector<UCHAR> digest(digestLength, 0);

    BCRYPT_HASH_HANDLE rawHash = nullptr;
    CheckCngStatus(BCryptCreateHash(algorithm.get(), &rawHash, hashObject.data(), objectLength,
                                    nullptr, 0, 0));
    CngHashHandle hash(rawHash);

    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw LauncherError("Could not reopen the update archive");
    }
    std::vector<char> buffer(DigestReadSize, '\0');
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize read = in.gcount();
        if (read > 0) {
            CheckCngStatus(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(buffer.data()),
                                          static_cast<ULONG>(read), 0));
        }
    }
    CheckCngStatus(BCryptFinishHash(hash.get(), digest.data(), digestLength, 0));
    hash.reset();
    algorithm.reset();
    return HexEncode(digest.data(), digest.size());
}

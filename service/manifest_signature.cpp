#include "service/manifest_signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "base/launcher_error.h"
#include "base/scoped_handle.h"
#include "format/hex.h"
#include "format/json.h"
#include "format/manifest_object.h"
#include "format/manifest_signing_text.h"
#include "service/digest.h"

namespace {

// False unless `hex` is exactly 128 hex digits.
bool DecodeHex64(const std::string& hex, std::array<unsigned char, 64>& bytes) {
    return DecodeHex(hex, bytes.data(), bytes.size());
}

// A failure of the platform itself, not of the manifest.
constexpr char PlatformFailure[] = "Windows could not check the update manifest signature";

}  // namespace

std::array<unsigned char, 64> ManifestSignatureBytes(const std::string& hex) {
    std::array<unsigned char, 64> signature{};
    if (!DecodeHex64(hex, signature)) {
        throw LauncherError("The update manifest signature is not valid");
    }
    return signature;
}

namespace {

constexpr char NotValid[] = "The update manifest signature is not valid";

struct SignatureToCheck {
    std::string hex;
    std::string signingText;
};

// The signatures to check and the texts they cover: the one the manifest
// needs, as it asks, and every other it carries, so that no signature key can
// hold something else.
std::vector<SignatureToCheck> SignaturesToCheck(const ManifestObject& object,
                                                const UpdateManifest& manifest) {
    const std::string four = StringMember(object, FourValueSignatureKey);
    const std::string full = StringMember(object, FullSignatureKey);
    const std::string second = StringMember(object, SecondFullSignatureKey);
    const bool needsSecond = NeedsSecondFullSignature(object);
    if (second.empty() && needsSecond) {
        // Signed, but a key that only the second full signature covers is not.
        throw LauncherError(object.count(FourValueSignatureKey) || object.count(FullSignatureKey)
                                ? NotValid
                                : "The update manifest is not signed");
    }
    // The url as read, before its conversion to UTF-16: the bytes the release
    // tool signed.
    const std::string fourValues = ManifestSigningText(
        manifest.version, StringMember(object, "url"), manifest.sha256, manifest.executable);
    const std::string fullText = FullSigningText(fourValues, object);
    if (second.empty()) {
        if (FirstSignedValuesHoldControlCharacter(object)) throw LauncherError(NotValid);
        if (full.empty() && fullText != fourValues) {
            // Signed, but the further keys it carries are not.
            throw LauncherError(object.count(FourValueSignatureKey)
                                    ? NotValid
                                    : "The update manifest is not signed");
        }
        if (full.empty() && four.empty()) throw LauncherError("The update manifest is not signed");
    }
    std::vector<SignatureToCheck> signatures;
    if (!second.empty()) {
        const std::optional<std::string> secondText = SecondFullSigningText(object);
        if (!secondText) throw LauncherError(NotValid);
        signatures.push_back({second, *secondText});
    }
    if (!full.empty()) signatures.push_back({full, fullText});
    if (!four.empty()) signatures.push_back({four, fourValues});
    return signatures;
}

void CheckSignature(const SignatureToCheck& check, const char* publicKeyHex) {
    std::array<unsigned char, 64> signature = ManifestSignatureBytes(check.hex);
    std::array<unsigned char, 32> digest = Sha256Bytes(check.signingText, PlatformFailure);

    std::array<unsigned char, 64> point{};
    if (!DecodeHex64(publicKeyHex, point)) {
        throw LauncherError(PlatformFailure);
    }
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + point.size());
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), point.data(), point.size());

    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    CheckCngStatus(
        BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0),
        PlatformFailure);
    CngAlgorithmHandle algorithm(rawAlgorithm);
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    CheckCngStatus(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey,
                                       blob.data(), static_cast<ULONG>(blob.size()), 0),
                   PlatformFailure);
    CngKeyHandle key(rawKey);
    // Every refusal of a well-formed signature (STATUS_INVALID_SIGNATURE, or
    // r or s out of range) is the manifest's fault.
    const NTSTATUS verified =
        BCryptVerifySignature(key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                              signature.data(), static_cast<ULONG>(signature.size()), 0);
    if (verified != 0) throw LauncherError(NotValid);
}

}  // namespace

void CheckManifestSignature(const std::string& text, const UpdateManifest& manifest,
                            const char* publicKeyHex) {
    const std::optional<ManifestObject> object = ReadJsonObject(text);
    if (!object) throw LauncherError("The update manifest is malformed");
    for (const SignatureToCheck& check : SignaturesToCheck(*object, manifest)) {
        CheckSignature(check, publicKeyHex);
    }
}

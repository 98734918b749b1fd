#include "service/manifest_signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "format/json.h"
#include "base/launcher_error.h"
#include "format/manifest_signing_text.h"
#include "base/scoped_handle.h"
#include "service/digest.h"

namespace {

int HexValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

// False unless `hex` is exactly 128 hex digits.
bool DecodeHex64(const std::string& hex, std::array<unsigned char, 64>& bytes) {
    if (hex.size() != bytes.size() * 2) return false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
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

// The signature value and the text it must cover, as the manifest asks.
std::pair<std::string, std::string> SignatureToCheck(const std::string& text,
                                                     const UpdateManifest& manifest) {
    constexpr char notValid[] = "The update manifest signature is not valid";
    const std::string second = ReadJsonStringField(text, SecondFullSignatureKey, false);
    if (!second.empty() || NeedsSecondFullSignature(text)) {
        if (second.empty()) {
            // Signed, but a key that only the second full signature covers is not.
            throw LauncherError(CarriesJsonKey(text, FourValueSignatureKey) ||
                                        CarriesJsonKey(text, FullSignatureKey)
                                    ? notValid
                                    : "The update manifest is not signed");
        }
        const std::optional<std::string> signingText = SecondFullSigningText(text);
        if (!signingText) throw LauncherError(notValid);
        return {second, *signingText};
    }
    if (FirstSignedValuesHoldControlCharacter(text)) throw LauncherError(notValid);
    // The url as read, before its conversion to UTF-16: the bytes the release
    // tool signed.
    const std::string fourValues =
        ManifestSigningText(manifest.version, ReadJsonStringField(text, "url", true),
                            manifest.sha256, manifest.executable);
    const std::string fullText = FullSigningText(fourValues, text);
    std::string signatureHex = ReadJsonStringField(text, FullSignatureKey, false);
    const bool full = !signatureHex.empty() || fullText.size() != fourValues.size();
    if (!full) {
        signatureHex = ReadJsonStringField(text, FourValueSignatureKey, false);
    } else if (signatureHex.empty() && CarriesJsonKey(text, FourValueSignatureKey)) {
        // Signed, but the further keys it carries are not.
        throw LauncherError(notValid);
    }
    if (signatureHex.empty()) {
        throw LauncherError("The update manifest is not signed");
    }
    return {signatureHex, full ? fullText : fourValues};
}

}  // namespace

void CheckManifestSignature(const std::string& text, const UpdateManifest& manifest,
                            const char* publicKeyHex) {
    const auto [signatureHex, signingText] = SignatureToCheck(text, manifest);
    std::array<unsigned char, 64> signature = ManifestSignatureBytes(signatureHex);
    std::array<unsigned char, 32> digest = Sha256Bytes(signingText, PlatformFailure);

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
    if (verified != 0) {
        throw LauncherError("The update manifest signature is not valid");
    }
}

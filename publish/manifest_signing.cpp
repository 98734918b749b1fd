#include "publish/manifest_signing.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "format/hex.h"

namespace {

template <auto Free>
struct Freer {
    template <typename T>
    void operator()(T* held) const {
        Free(held);
    }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX_free>>;
using Signature = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG_free>>;
using Number = std::unique_ptr<BIGNUM, Freer<BN_free>>;
struct CloseFile {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, CloseFile>;

constexpr size_t ScalarSize = 32;

bool IsP256(EVP_PKEY* key) {
    char group[32] = {};
    size_t length = 0;
    return EVP_PKEY_get_base_id(key) == EVP_PKEY_EC &&
           EVP_PKEY_get_group_name(key, group, sizeof(group), &length) == 1 &&
           std::string(group, length) == "prime256v1";
}

Key ReadKey(const std::filesystem::path& pem, bool privateKey) {
    File file(std::fopen(pem.c_str(), "rb"));
    if (!file) {
        throw std::runtime_error("The key file cannot be read");
    }
    Key key(privateKey ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr)
                       : PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
    if (!key || !IsP256(key.get())) {
        throw std::runtime_error(privateKey
                                     ? "The signing key is not an ECDSA P-256 private key in PEM"
                                     : "The key is not an ECDSA P-256 public key in PEM");
    }
    return key;
}

const unsigned char* Bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

std::uint64_t NextManifestSequence(std::optional<std::uint64_t> live, std::int64_t now) {
    const std::uint64_t fromClock = now > 0 ? static_cast<std::uint64_t>(now) : 0;
    if (live && *live == UINT64_MAX) {
        throw std::runtime_error("The live manifest's sequence cannot be raised any further");
    }
    return live && *live >= fromClock ? *live + 1 : fromClock;
}

std::string SignManifestText(const std::string& text, const std::filesystem::path& privateKeyPem) {
    const Key key = ReadKey(privateKeyPem, true);
    DigestContext context(EVP_MD_CTX_new());
    size_t length = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, Bytes(text), text.size()) != 1) {
        throw std::runtime_error("OpenSSL could not sign the manifest");
    }
    std::vector<unsigned char> der(length);
    if (EVP_DigestSign(context.get(), der.data(), &length, Bytes(text), text.size()) != 1) {
        throw std::runtime_error("OpenSSL could not sign the manifest");
    }
    // OpenSSL writes DER; the launcher takes r and s as two fixed-size numbers.
    const unsigned char* at = der.data();
    const Signature signature(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(length)));
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    if (signature) ECDSA_SIG_get0(signature.get(), &r, &s);
    unsigned char raw[2 * ScalarSize];
    if (!signature || BN_bn2binpad(r, raw, ScalarSize) != ScalarSize ||
        BN_bn2binpad(s, raw + ScalarSize, ScalarSize) != ScalarSize) {
        throw std::runtime_error("OpenSSL could not sign the manifest");
    }
    return LowerHex(raw, sizeof raw);
}

bool VerifyManifestSignature(const std::string& text, const std::string& signatureHex,
                             const std::filesystem::path& publicKeyPem) {
    const Key key = ReadKey(publicKeyPem, false);
    unsigned char raw[2 * ScalarSize];
    if (!DecodeHex(signatureHex, raw, sizeof raw)) return false;
    Signature signature(ECDSA_SIG_new());
    Number r(BN_bin2bn(raw, ScalarSize, nullptr));
    Number s(BN_bin2bn(raw + ScalarSize, ScalarSize, nullptr));
    if (!signature || !r || !s || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) {
        throw std::runtime_error("OpenSSL could not check the signature");
    }
    (void)r.release();  // both now belong to the signature
    (void)s.release();
    const int derLength = i2d_ECDSA_SIG(signature.get(), nullptr);
    std::vector<unsigned char> der(derLength > 0 ? derLength : 0);
    unsigned char* out = der.data();
    DigestContext context(EVP_MD_CTX_new());
    if (derLength <= 0 || i2d_ECDSA_SIG(signature.get(), &out) != derLength || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        throw std::runtime_error("OpenSSL could not check the signature");
    }
    return EVP_DigestVerify(context.get(), der.data(), der.size(), Bytes(text), text.size()) == 1;
}

std::string SigningKeyPublicHex(const std::filesystem::path& privateKeyPem) {
    const Key key = ReadKey(privateKeyPem, true);
    unsigned char point[65];
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), "encoded-pub-key", point, sizeof point,
                                        &length) != 1 ||
        length != sizeof point || point[0] != 0x04) {
        throw std::runtime_error("The signing key's public half cannot be read");
    }
    return LowerHex(point + 1, length - 1);  // X then Y, after the uncompressed-point tag
}

namespace {

// The three signing texts of a manifest, as a keyed launcher builds them from
// its object.
struct SigningTexts {
    std::string fourValues;
    std::string full;
    std::optional<std::string> second;
    bool operator==(const SigningTexts&) const = default;
};

SigningTexts SigningTextsOf(const ManifestObject& object, const ManifestFields& read) {
    SigningTexts texts;
    texts.fourValues = ManifestSigningText(read.version, read.url, read.sha256, read.executable);
    texts.full = FullSigningText(texts.fourValues, object);
    texts.second = SecondFullSigningText(object);
    return texts;
}

}  // namespace

std::string SignedManifestJson(ManifestFields fields, const std::filesystem::path& privateKeyPem) {
    fields.signature = fields.fullSignature = fields.secondFullSignature = "";
    const std::string unsignedText = ManifestJson(fields);
    const std::optional<ManifestObject> unsignedObject = ReadJsonObject(unsignedText);
    if (!unsignedObject) {
        throw std::runtime_error(
            "The manifest's values are not valid UTF-8; launchers built with a release key "
            "would refuse it");
    }
    const SigningTexts texts = SigningTextsOf(*unsignedObject, ManifestFieldsOf(*unsignedObject));
    if (texts.second) {
        fields.signature = SignManifestText(texts.fourValues, privateKeyPem);
        fields.fullSignature = SignManifestText(texts.full, privateKeyPem);
        fields.secondFullSignature = SignManifestText(*texts.second, privateKeyPem);
    }
    // Read back as every launcher reads it: keyed ones from the object, those
    // shipped before the strict reader with the key lookup.
    const std::string text = ManifestJson(fields);
    const std::optional<ManifestObject> object = ReadJsonObject(text);
    const std::optional<ManifestFields> read =
        object ? std::optional(ManifestFieldsOf(*object)) : std::nullopt;
    if (!texts.second || !read || !KeyLookupReadsAsObject(text, *object) ||
        SigningTextsOf(*object, *read) != texts || read->signature != fields.signature ||
        read->fullSignature != fields.fullSignature ||
        read->secondFullSignature != fields.secondFullSignature) {
        throw std::runtime_error(
            "The manifest's values would not read back as they were signed; a value holds the "
            "quoted name of a key");
    }
    return text;
}

bool ManifestSignaturesVerify(const std::string& text, const std::filesystem::path& publicKeyPem) {
    const std::optional<ManifestObject> object = ReadJsonObject(text);
    if (!object || !KeyLookupReadsAsObject(text, *object)) return false;
    const ManifestFields live = ManifestFieldsOf(*object);
    if (FirstSignedValuesHoldControlCharacter(*object)) return false;
    const SigningTexts texts = SigningTextsOf(*object, live);
    if (!VerifyManifestSignature(texts.fourValues, live.signature, publicKeyPem)) return false;
    if (live.fullSignature.empty()
            ? texts.full != texts.fourValues
            : !VerifyManifestSignature(texts.full, live.fullSignature, publicKeyPem)) {
        return false;
    }
    if (live.secondFullSignature.empty()) return !NeedsSecondFullSignature(*object);
    return texts.second &&
           VerifyManifestSignature(*texts.second, live.secondFullSignature, publicKeyPem);
}

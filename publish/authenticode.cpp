#include "publish/authenticode.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <vector>

namespace {

uint32_t Little(const std::string& bytes, size_t at, size_t width) {
    if (at + width > bytes.size()) return 0;
    uint32_t value = 0;
    for (size_t i = width; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// A DER element's tag, its content and where the next one begins.
struct Element {
    int tag = -1;
    const unsigned char* content = nullptr;
    long length = 0;
    const unsigned char* next = nullptr;
};

Element ReadElement(const unsigned char* at, const unsigned char* end) {
    Element element;
    if (at == nullptr || at >= end) return element;
    const unsigned char* p = at;
    int tag = 0, xclass = 0;
    long length = 0;
    const int flags = ASN1_get_object(&p, &length, &tag, &xclass, end - at);
    if ((flags & 0x80) != 0 || length > end - p) return element;
    element.tag = tag;
    element.content = p;
    element.length = length;
    element.next = p + length;
    return element;
}

// SpcIndirectDataContent: SEQUENCE { SEQUENCE { type, value },
// DigestInfo SEQUENCE { AlgorithmIdentifier SEQUENCE { OID, ... }, OCTET STRING } }.
bool ReadSignedDigest(const unsigned char* content, long length, int& algorithm,
                      std::string& digest) {
    const unsigned char* end = content + length;
    const Element data = ReadElement(content, end);
    if (data.tag != V_ASN1_SEQUENCE) return false;
    const Element info = ReadElement(data.next, end);
    if (info.tag != V_ASN1_SEQUENCE) return false;
    const unsigned char* infoEnd = info.content + info.length;
    const Element identifier = ReadElement(info.content, infoEnd);
    const Element value = ReadElement(identifier.next, infoEnd);
    if (identifier.tag != V_ASN1_SEQUENCE || value.tag != V_ASN1_OCTET_STRING) return false;
    const unsigned char* oid = identifier.content;
    ASN1_OBJECT* object = d2i_ASN1_OBJECT(nullptr, &oid, identifier.length);
    if (object == nullptr) return false;
    algorithm = OBJ_obj2nid(object);
    ASN1_OBJECT_free(object);
    digest.assign(reinterpret_cast<const char*>(value.content), value.length);
    return true;
}

}  // namespace

// The digest a signature names is known only at the end, so the image is
// hashed with each one signing tools use.
struct AuthenticodeReader::Digests {
    static constexpr int Algorithms[] = {NID_sha1, NID_sha256, NID_sha384, NID_sha512};
    std::vector<std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>> contexts;
    Digests() {
        for (const int algorithm : Algorithms) {
            contexts.emplace_back(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
            EVP_DigestInit_ex(contexts.back().get(), EVP_get_digestbynid(algorithm), nullptr);
        }
    }
    void Add(const char* data, size_t size) {
        for (const auto& context : contexts) EVP_DigestUpdate(context.get(), data, size);
    }
    // Empty for a digest not among them.
    std::string Final(int algorithm) {
        for (size_t i = 0; i < contexts.size(); ++i) {
            if (Algorithms[i] != algorithm) continue;
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_DigestFinal_ex(contexts[i].get(), digest, &length);
            return std::string(reinterpret_cast<const char*>(digest), length);
        }
        return "";
    }
};

const char* AuthenticodeText(Authenticode verdict) {
    switch (verdict) {
        case Authenticode::Valid:
            return "yes (Authenticode)";
        case Authenticode::Invalid:
            return "signature present but not valid";
        default:
            return "no";
    }
}

AuthenticodeReader::AuthenticodeReader(const std::string& head)
    : digests_(std::make_unique<Digests>()) {
    const uint32_t pe = Little(head, 0x3C, 4);
    if (head.compare(0, 2, "MZ") != 0 || Little(head, pe, 4) != 0x4550) return;
    const uint64_t optional = pe + 24;
    const bool plus = Little(head, optional, 2) == 0x20B;
    const uint64_t directories = optional + (plus ? 112 : 96);
    if (Little(head, directories - 4, 4) <= 4) return;
    checksumAt_ = optional + 64;
    entryAt_ = directories + 4 * 8;
    tableAt_ = Little(head, entryAt_, 4);
    tableSize_ = Little(head, entryAt_ + 4, 4);
}

AuthenticodeReader::~AuthenticodeReader() = default;

void AuthenticodeReader::Add(const char* data, size_t size) {
    const uint64_t start = at_, end = at_ + size;
    at_ = end;
    if (tableSize_ == 0) return;
    // The hashed ranges: up to the checksum, to the table's entry, to the table.
    const uint64_t ranges[3][2] = {
        {0, checksumAt_}, {checksumAt_ + 4, entryAt_}, {entryAt_ + 8, tableAt_}};
    for (const auto& range : ranges) {
        const uint64_t from = std::max(start, range[0]), to = std::min(end, range[1]);
        if (from < to) digests_->Add(data + (from - start), to - from);
    }
    const uint64_t from = std::max(start, tableAt_), to = std::min(end, tableAt_ + tableSize_);
    if (from < to) table_.append(data + (from - start), to - from);
}

Authenticode AuthenticodeReader::Verdict() {
    if (tableSize_ == 0) return Authenticode::None;
    // WIN_CERTIFICATE: length, revision, type 2 (PKCS #7 SignedData), data.
    if (table_.size() != tableSize_ || tableSize_ < 8 || Little(table_, 6, 2) != 2 ||
        Little(table_, 0, 4) > tableSize_ || Little(table_, 0, 4) < 8 || checksumAt_ >= entryAt_ ||
        entryAt_ + 8 > tableAt_) {
        return Authenticode::Invalid;
    }
    const unsigned char* der = reinterpret_cast<const unsigned char*>(table_.data()) + 8;
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> signature(
        d2i_PKCS7(nullptr, &der, Little(table_, 0, 4) - 8), &PKCS7_free);
    if (!signature || !PKCS7_type_is_signed(signature.get())) return Authenticode::Invalid;
    PKCS7* contents = signature->d.sign->contents;
    if (contents == nullptr || OBJ_obj2txt(nullptr, 0, contents->type, 1) <= 0 ||
        contents->d.other == nullptr || contents->d.other->type != V_ASN1_SEQUENCE) {
        return Authenticode::Invalid;
    }
    char type[64];
    OBJ_obj2txt(type, sizeof type, contents->type, 1);
    if (std::string(type) != "1.3.6.1.4.1.311.2.1.4") return Authenticode::Invalid;
    // The signed bytes are the content of the SpcIndirectDataContent sequence.
    const ASN1_STRING* sequence = contents->d.other->value.sequence;
    const unsigned char* start = sequence->data;
    const Element outer = ReadElement(start, start + sequence->length);
    if (outer.tag != V_ASN1_SEQUENCE) return Authenticode::Invalid;
    int algorithm = NID_undef;
    std::string carried;
    if (!ReadSignedDigest(outer.content, outer.length, algorithm, carried) || carried.empty() ||
        carried != digests_->Final(algorithm)) {
        return Authenticode::Invalid;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> signedBytes(
        BIO_new_mem_buf(outer.content, static_cast<int>(outer.length)), &BIO_free);
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                  &X509_STORE_free);
    const int verified = PKCS7_verify(signature.get(), nullptr, store.get(), signedBytes.get(),
                                      nullptr, PKCS7_NOVERIFY | PKCS7_BINARY);
    return verified == 1 ? Authenticode::Valid : Authenticode::Invalid;
}

Authenticode AuthenticodeOf(const std::string& image) {
    AuthenticodeReader reader(image);
    reader.Add(image.data(), image.size());
    return reader.Verdict();
}

#include "service/manifest_signature.h"

#include <gtest/gtest.h>

#include <cctype>

#include "format/json.h"
#include "format/manifest_object.h"
#include "format/manifest_signing_text.h"

#include "tests/support/test_bed.h"

namespace {

// A throwaway P-256 key's public half and signatures made with the openssl
// command line, so the launcher's reading of r and s and of the signing text
// is checked against another implementation.
const char Key[] =
    "9a3817eeafd35105197ed080182fcd399bd5167487e0a454f6ba3a01254bd145"
    "d57a9d0f2f6f641036bfeab896a065d56a227da4eb286202a520a97f03acbff2";
const std::string Good =
    "a83093d722dc7cb854ce61fb4265b84a779c7cdf16a119a326025020a4ef2fc7"
    "5a4629d18771b33028b118e403b2de8f4c8d474aea5d988e9e99de95913bc6f5";
const std::string ByAnotherKey =
    "9ebfa0250f16f09ba34116756e7bd4f8a916b6ff57c495c8a95c8c8e1de38ead"
    "7e80639aee6fe113104065c6f5867c219b4049225c99ada60c57be0defa5cc22";
// Over "1.0.0-\"rc\"", "https://localhost/builds/\u00e9.zip", the digest in
// lowercase and "tessik.exe".
const std::string OverEscapedValues =
    "a93bf28e6dcbd08b0118c81631e0e5d11f34d46a2f620baaa82bbbb4994afa63"
    "c1bc7fa9a11ed7cacc0ae2eb1365c6e52dc9922f45c2e5e4a1cae55bbe791678";
const std::string Digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
// A second throwaway key, made with Python's cryptography package, and its
// "full-signature-2" of Manifest("") below.
const char SecondKey[] =
    "80ba94d68db023af45bf4539203676c281c202c631451de9f40dd8cbee0e9842"
    "ae9e94841f6393e60149235860236c76c49fe30bfb8076d7d447b90a838cdef0";
const std::string SecondOfManifest =
    "53dc08756fe5b6d918aab880a5f2d2692d8da74131f753c7c187d7e7d91c5b7a"
    "19e317eb24976760d9780fa0756a655f78ec898bc22298cd1d8278af4911c534";

std::string Manifest(const std::string& signatureField, const std::string& version = "1.0.0",
                     const std::string& url = "https://localhost/builds/tessik-1.0.0.zip",
                     const std::string& sha256 = Digest,
                     const std::string& executable = ",\"executable\":\"tessik.exe\"") {
    return "{\"version\":\"" + version + "\",\"url\":\"" + url + "\",\"sha256\":\"" + sha256 +
           "\"" + executable + signatureField + "}";
}

std::string Signature(const std::string& hex) { return ",\"signature\":\"" + hex + "\""; }

// The manifest read as a keyed caller that expects its executable would read it.
std::string CheckError(const std::string& text, const char* key = Key) {
    const std::string executable = ReadJsonStringField(text, "executable", false);
    return ErrorMessageOf([&] {
        CheckManifestSignature(
            text, ParseUpdateManifest(text, executable.empty() ? "tessik.exe" : executable, true),
            key);
    });
}

ManifestObject ObjectOf(const std::string& text) { return ReadJsonObject(text).value(); }

// Whether the release tool would sign every key of `text` with "full-signature-2".
bool SignableWhole(const std::string& text) {
    const std::optional<ManifestObject> object = ReadJsonObject(text);
    return object && SecondFullSigningText(*object) && KeyLookupReadsAsObject(text, *object);
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(ManifestSignature, AcceptsTheSignatureOfTheValuesAsRead) {
    const std::string accepted[] = {
        Manifest(Signature(Good)),
        Manifest(Signature(Upper(Good))),
        // Escapes resolved, the digest lowered, the executable defaulted.
        Manifest(Signature(OverEscapedValues), "1.0.0-\\\"rc\\\"",
                 "https:\\/\\/localhost\\/builds\\/\xC3\xA9.zip", Upper(Digest), ""),
        // Without further keys the full signing text is the four values'.
        Manifest(",\"full-signature\":\"" + Good + "\""),
        " \r\n" + Manifest(Signature(Good)) + "\n",
    };
    for (const std::string& text : accepted) {
        EXPECT_EQ(CheckError(text), "<no error>") << text;
    }
    EXPECT_EQ(CheckError(Manifest(",\"full-signature-2\":\"" + SecondOfManifest + "\""), SecondKey),
              "<no error>");
}

TEST(ManifestSignature, RefusesEveryOtherManifestWithItsMessage) {
    const std::string notSigned = "The update manifest is not signed";
    const std::string notValid = "The update manifest signature is not valid";
    const std::pair<std::string, std::string> cases[] = {
        {Manifest(""), notSigned},
        {Manifest(Signature("")), notSigned},
        {Manifest(Signature(Good), "1.0.1"), notValid},
        {Manifest(Signature(Good), "1.0.0", "https://localhost/builds/tessik-1.0.1.zip"), notValid},
        {Manifest(Signature(Good), "1.0.0", "https://localhost/builds/tessik-1.0.0.zip",
                  Digest.substr(0, 63) + "0"),
         notValid},
        {Manifest(Signature(Good), "1.0.0", "https://localhost/builds/tessik-1.0.0.zip", Digest,
                  ",\"executable\":\"other.exe\""),
         notValid},
        {Manifest(Signature(ByAnotherKey)), notValid},
        {Manifest(Signature(Good.substr(1))), notValid},
        {Manifest(Signature(Good + "0")), notValid},
        {Manifest(Signature(Good.substr(0, 126) + "zz")), notValid},
        {Manifest(Signature(Good.substr(0, 127) + " ")), notValid},
        {Manifest(Signature(std::string(128, '0'))), notValid},
        {Manifest(Signature(std::string(128, 'f'))), notValid},
        // A further key outside what the four-value signature covers.
        {Manifest(Signature(Good) + ",\"sequence\":\"9\""), notValid},
        {Manifest(Signature(Good) + ",\"expires\":\"2099-01-01T00:00:00Z\""), notValid},
        {Manifest(",\"sequence\":\"9\""), notSigned},
        // The full signature is the one checked whenever it is there, and
        // every other that the manifest carries must hold too.
        {Manifest(Signature(Good) + ",\"full-signature\":\"" + ByAnotherKey + "\""), notValid},
        {Manifest(Signature(ByAnotherKey) + ",\"full-signature\":\"" + Good + "\""), notValid},
        // A keep count forged where key lookups would find it: in the place of
        // the signatures that the checked one leaves out.
        {Manifest(",\"platform\":\"keep_builds\",\"signature\":\"1\",\"full-signature\":\"" + Good +
                  "\""),
         notValid},
        // Anything but one strict JSON object.
        {Manifest(Signature(Good) + ",\"version\":\"1.0.0\""), "The update manifest is malformed"},
        {Manifest(Signature(Good)) + ",", "The update manifest is malformed"},
    };
    for (const auto& [text, message] : cases) {
        EXPECT_EQ(CheckError(text), message) << text;
    }
    EXPECT_EQ(CheckError(Manifest(",\"signature\":\"keep_builds\",\"full-signature\":\"1\","
                                  "\"full-signature-2\":\"" +
                                  SecondOfManifest + "\""),
                         SecondKey),
              notValid);
}

TEST(ManifestSignature, SigningTextIsEachValueOnALineOfItsOwn) {
    EXPECT_EQ(ManifestSigningText("1.0.0", "https://h/a.zip", Digest, "tessik.exe"),
              "1.0.0\nhttps://h/a.zip\n" + Digest + "\ntessik.exe\n");
    // Further keys in the table's order, whatever the text's; unread keys left out.
    EXPECT_EQ(FullSigningText(
                  "four\n", ObjectOf("{\"expires\":\"E\",\"platform\":\"p\",\"sequence\":\"7\"}")),
              "four\nsequence=7\nexpires=E\n");
    EXPECT_EQ(FullSigningText("four\n", ObjectOf("{\"platform\":\"p\"}")), "four\n");
}

TEST(ManifestSignature, SecondFullSigningTextIsEveryKeyButTheSignaturesInByteOrder) {
    EXPECT_EQ(
        SecondFullSigningText(ObjectOf("{\"version\":\"1\",\"url\":\"https:\\/\\/h\",\"b\":\"=x\","
                                       "\"B\":\"y\",\"full-signature-2\":\"s\",\"signature\":\"t\","
                                       "\"full-signature\":\"u\"}\n")),
        "B=y\nb==x\nurl=https://h\nversion=1\n");
    EXPECT_EQ(SecondFullSigningText(ObjectOf(" {\r\n} ")), "");
    // Anything but a flat object of strings that read alike either way.
    const char* unsignable[] = {
        "{\"version\":\"1\",\"version\":\"1\"}",
        "{\"version\":\"1\",\"more\":{\"a\":\"b\"}}",
        "{\"version\":\"1\",\"keep\":3}",
        "{\"version\":\"1\"}{}",
        "{\"version\":\"1\",}",
        "{\"version\":\"1\"",
        "[\"version\",\"1\"]",
        "{\"ranges\":\"bytes\\nbuild_index=x\"}",
        "{\"ranges\":\"bytes\tx\"}",
        "{\"ranges\":\"bytes\x7F\"}",
        "{\"a=b\":\"c\"}",
        "{\"\":\"c\"}",
        "{\"version\":\"\\u0031\"}",
        // The key reader would take the url from inside the first value.
        "{\"note\":\"\\\"url\",\"x\":\"https://elsewhere\",\"url\":\"https://h\"}",
        // ... or find a url that the object does not carry.
        "{\"note\":\"url\",\"x\":\"https://elsewhere\"}",
    };
    for (const char* text : unsignable) {
        EXPECT_FALSE(SignableWhole(text)) << text;
    }
}

TEST(ManifestSignature, OnlyTheSecondFullSignatureCoversKeysAddedLater) {
    const std::pair<std::string, bool> cases[] = {
        {Manifest(Signature(Good)), false},
        {Manifest(",\"platform\":\"p\",\"ranges\":\"bytes\",\"build_index\":\"i\","
                  "\"sequence\":\"1\",\"expires\":\"e\",\"full-signature\":\"f\","
                  "\"full-signature-2\":\"g\""),
         false},
        {Manifest(",\"keep_builds\":\"3\""), true},
        {Manifest(",\"nested\":{}"), true},
        {Manifest(",\"sequence\":1"), true},  // what the first two cover is unclear
    };
    for (const auto& [text, needed] : cases) {
        EXPECT_EQ(NeedsSecondFullSignature(ObjectOf(text)), needed) << text;
    }
    // The second full signature is the one checked whenever it is there
    // (Good signs the four values only), and the one needed for a key added later.
    const std::string notValid = "The update manifest signature is not valid";
    EXPECT_EQ(CheckError(Manifest(Signature(Good) + ",\"full-signature-2\":\"" + Good + "\"")),
              notValid);
    EXPECT_EQ(CheckError(Manifest(Signature(Good) + ",\"keep_builds\":\"3\"")), notValid);
    EXPECT_EQ(CheckError(Manifest(",\"keep_builds\":\"3\"")), "The update manifest is not signed");
    // A control character in a value the first signatures cover.
    for (const char* value : {"1.0.0\\n", "1.0\\t0", "1.0.0\x7F"}) {
        EXPECT_TRUE(FirstSignedValuesHoldControlCharacter(ObjectOf(Manifest("", value)))) << value;
    }
    EXPECT_TRUE(FirstSignedValuesHoldControlCharacter(
        ObjectOf(Manifest(",\"ranges\":\"bytes\\nbuild_index=" + Digest + "\""))));
    EXPECT_FALSE(FirstSignedValuesHoldControlCharacter(
        ObjectOf(Manifest(",\"ranges\":\"bytes\",\"note\":\"a\\nb\""))));
}

}  // namespace

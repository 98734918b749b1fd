#include "service/update_manifest.h"

#include <gtest/gtest.h>

#include "format/json.h"
#include "format/manifest_signing_text.h"
#include "tests/support/test_bed.h"

namespace {

const std::string Digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string Sample =
    "{\"version\":\"0.1.136\",\"platform\":\"windows-x86_64\",\"url\":\"https://"
    "updates.example.com/"
    "runtime.zip?version=0.1.136\",\"sha256\":\"" +
    Digest + "\",\"executable\":\"tessik.exe\"}";

std::string Manifest(const std::string& version, const std::string& url, const std::string& sha,
                     const std::string& executableField = "") {
    return "{\"version\":\"" + version + "\",\"url\":\"" + url + "\",\"sha256\":\"" + sha + "\"" +
           executableField + "}";
}

std::string ParseError(const std::string& text, const std::string& expected = "tessik.exe") {
    return ErrorMessageOf([&] { ParseUpdateManifest(text, expected); });
}

TEST(ParseUpdateManifest, ReadsEveryFieldOfAFullManifestAndIgnoresThePlatform) {
    const UpdateManifest m = ParseUpdateManifest(Sample, "tessik.exe");
    EXPECT_EQ(m.version, "0.1.136");
    EXPECT_EQ(m.url, L"https://updates.example.com/runtime.zip?version=0.1.136");
    EXPECT_EQ(m.sha256, Digest);
    EXPECT_EQ(m.executable, "tessik.exe");

    // "platform" plays no part: removed or changed, the record is the same.
    for (const std::string& platform : {std::string(""), std::string("\"platform\":\"other\",")}) {
        std::string text = Sample;
        text.replace(text.find("\"platform\""),
                     std::string("\"platform\":\"windows-x86_64\",").size(), platform);
        const UpdateManifest other = ParseUpdateManifest(text, "tessik.exe");
        EXPECT_EQ(other.version, m.version);
        EXPECT_EQ(other.url, m.url);
        EXPECT_EQ(other.sha256, m.sha256);
        EXPECT_EQ(other.executable, m.executable);
    }
}

TEST(ParseUpdateManifest, ReportsEachFaultWithItsMessage) {
    const std::string https = "https://h/a.zip";
    struct Case {
        std::string text;
        std::string expected;
        std::string message;
    };
    const Case cases[] = {
        {"", "tessik.exe", "The update manifest is missing version"},
        {"{\"url\":\"" + https + "\",\"sha256\":\"" + Digest + "\"}", "tessik.exe",
         "The update manifest is missing version"},
        {"{\"version\":\"1\",\"sha256\":\"" + Digest + "\"}", "tessik.exe",
         "The update manifest is missing url"},
        {"{\"version\":\"1\",\"url\":\"" + https + "\"}", "tessik.exe",
         "The update manifest is missing sha256"},
        {"{\"Version\":\"1\",\"url\":\"" + https + "\",\"sha256\":\"" + Digest + "\"}",
         "tessik.exe", "The update manifest is missing version"},
        {"{\"version\"", "tessik.exe", "The update manifest is malformed"},
        {"{\"version\": 5}", "tessik.exe", "The update manifest is malformed"},
        {"{\"version\":\"a\\u0041\"}", "tessik.exe",
         "The update manifest contains an unsupported escape"},
        {"{\"version\":\"abc", "tessik.exe", "The update manifest contains an unterminated string"},
        {"{\"version\":\"abc\\", "tessik.exe",
         "The update manifest contains an unterminated string"},
        {Manifest("1", "https://h/\xC3(", Digest), "tessik.exe",
         "The update service returned invalid text"},
        {Manifest("1", https, Digest.substr(1)), "tessik.exe",
         "The update manifest has an invalid SHA-256 digest"},
        {Manifest("1", https, Digest + "0"), "tessik.exe",
         "The update manifest has an invalid SHA-256 digest"},
        {Manifest("1", https, Digest.substr(0, 63) + "g"), "tessik.exe",
         "The update manifest has an invalid SHA-256 digest"},
        {Manifest("1", "http://h/a.zip", Digest), "tessik.exe",
         "The update manifest does not use HTTPS"},
        {Manifest("1", "HTTPS://h/a.zip", Digest), "tessik.exe",
         "The update manifest does not use HTTPS"},
        {Manifest("1", "", Digest), "tessik.exe", "The update manifest does not use HTTPS"},
        {Manifest("1", https, Digest, ",\"executable\":\"TESSIK.EXE\""), "tessik.exe",
         "The update manifest names an unexpected executable"},
        {Manifest("1", https, Digest), "TESSIK-Launcher-Windows-x64.exe",
         "The update manifest names an unexpected executable"},
        {Manifest("1", https, Digest, ",\"executable\":\"\""), "TESSIK-Launcher-Windows-x64.exe",
         "The update manifest names an unexpected executable"},
        {Manifest("1", https, Digest, ",\"executable\":\"tessik.exe\""),
         "TESSIK-Launcher-Windows-x64.exe", "The update manifest names an unexpected executable"},
        // Several faults: the first in the order version, url, sha256, checks.
        {Manifest("1", "http://\xC3(", "short"), "tessik.exe",
         "The update service returned invalid text"},
        {Manifest("1", "http://h", "short"), "tessik.exe",
         "The update manifest has an invalid SHA-256 digest"},
        {Manifest("1", "http://h", Digest, ",\"executable\":\"x.exe\""), "tessik.exe",
         "The update manifest does not use HTTPS"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseError(c.text, c.expected), c.message) << "manifest: " << c.text;
    }
}

TEST(ParseUpdateManifest, DefaultsAndNormalisesFields) {
    const std::string https = "https://h/a.zip";
    EXPECT_EQ(ParseUpdateManifest(Manifest("1", https, Digest), "tessik.exe").executable,
              "tessik.exe");
    EXPECT_EQ(
        ParseUpdateManifest(Manifest("1", https, Digest, ",\"executable\":\"\""), "tessik.exe")
            .executable,
        "tessik.exe");
    std::string upper = Digest;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ParseUpdateManifest(Manifest("1", https, upper), "tessik.exe").sha256, Digest);
    EXPECT_EQ(ParseUpdateManifest(Manifest("", https, Digest), "tessik.exe").version, "");
    const UpdateManifest launcher = ParseUpdateManifest(
        Manifest("0.1.191", https, Digest, ",\"executable\":\"TESSIK-Launcher-Windows-x64.exe\""),
        "TESSIK-Launcher-Windows-x64.exe");
    EXPECT_EQ(launcher.executable, "TESSIK-Launcher-Windows-x64.exe");
    // The build index is optional; a value that is no lowercase digest names no index.
    for (const auto& [value, read] : {std::pair<std::string, std::string>{Digest, Digest},
                                      {upper, ""},
                                      {Digest.substr(1), ""},
                                      {"", ""}}) {
        EXPECT_EQ(
            ParseUpdateManifest(Manifest("1", https, Digest, ",\"build_index\":\"" + value + "\""),
                                "tessik.exe")
                .buildIndex,
            read)
            << value;
    }
    EXPECT_EQ(ParseUpdateManifest(Sample, "tessik.exe").buildIndex, "");
}

TEST(ParseUpdateManifest, PassesRawUtf8InVersionButNotInvalidUtf8InUrl) {
    const std::string https = "https://h/a.zip";
    EXPECT_EQ(
        ParseUpdateManifest(Manifest("1.0-\xC3\xA9t\xC3\xA9", https, Digest), "tessik.exe").version,
        "1.0-\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(ParseUpdateManifest(Manifest("bad\xC3(", https, Digest), "tessik.exe").version,
              "bad\xC3(");
    EXPECT_EQ(ParseUpdateManifest(Manifest("1", "https://h/caf\xC3\xA9", Digest), "tessik.exe").url,
              L"https://h/caf\u00E9");
}

TEST(ParseUpdateManifest, ReadsKeysBeyondTheFourOnlyFromAStrictObject) {
    const std::string malformed = "The update manifest is malformed";
    const struct {
        const char* name;
        std::string keys;
        std::string unkeyed;  // the keep count read, or the message
        std::string keyed;
    } cases[] = {
        {"strict", ",\"keep_builds\":\"2\",\"ranges\":\"bytes\"", "2 ranges", "2 ranges"},
        {"forged in the signatures", ",\"signature\":\"keep_builds\",\"full-signature\":\"1\"",
         "every", "every"},
        {"forged in the platform", ",\"platform\":\"keep_builds\",\"signature\":\"1\"", "every",
         "every"},
        {"nested", ",\"x\":{\"keep_builds\":\"2\",\"ranges\":\"bytes\"}", "every", "every"},
        {"a key twice", ",\"keep_builds\":\"2\",\"keep_builds\":\"2\"", "every", malformed},
        {"garbage after", ",\"keep_builds\":\"2\"}x", "every", malformed},
    };
    for (const auto& c : cases) {
        for (const bool keyed : {false, true}) {
            std::string read;
            const std::string message = ErrorMessageOf([&] {
                const UpdateManifest m = ParseUpdateManifest(
                    Manifest("1", "https://h/a.zip", Digest, c.keys), "tessik.exe", keyed);
                read = (m.keepBuilds ? std::to_string(*m.keepBuilds) : "every") +
                       (m.byteRanges ? " ranges" : "");
            });
            EXPECT_EQ(read.empty() ? message : read, keyed ? c.keyed : c.unkeyed)
                << c.name << (keyed ? ", keyed" : "");
        }
    }
}

TEST(CheckManifestFreshness, RefusesOlderAndExpiredManifests) {
    const std::string older = "The update manifest is older than one already seen";
    const std::string expired = "The update manifest has expired";
    const std::int64_t now = 1765000000;  // 2025-12-06T05:46:40Z
    const struct {
        std::string keys;
        std::optional<std::uint64_t> remembered;
        std::string result;  // the sequence returned, or the message
    } cases[] = {
        {"", std::nullopt, "none"},
        {"", 5, older},
        {",\"sequence\":\"5\"", std::nullopt, "5"},
        {",\"sequence\":\"5\"", 5, "5"},
        {",\"sequence\":\"6\"", 5, "6"},
        {",\"sequence\":\"4\"", 5, older},
        {",\"sequence\":\"18446744073709551615\"", 5, "18446744073709551615"},
        {",\"sequence\":\"18446744073709551616\"", 5,
         "The update manifest has an invalid sequence"},
        {",\"sequence\":\"-6\"", 5, "The update manifest has an invalid sequence"},
        {",\"sequence\":\"\"", std::nullopt, "The update manifest has an invalid sequence"},
        {",\"sequence\":\"6\",\"expires\":\"2025-12-06T05:46:40Z\"", 5, "6"},
        {",\"sequence\":\"6\",\"expires\":\"2025-12-06T05:46:39Z\"", 5, expired},
        // A replayed old manifest is refused as older, whatever its expiry.
        {",\"sequence\":\"4\",\"expires\":\"2025-12-06T05:46:39Z\"", 5, older},
        {",\"expires\":\"2025-12-06 05:46:41Z\"", std::nullopt,
         "The update manifest has an invalid expiry"},
        // Read from the object only: a value is never a key.
        {",\"platform\":\"sequence\",\"x\":\"4\"", std::nullopt, "none"},
        {",\"sequence\":\"6\",\"sequence\":\"7\"", std::nullopt,
         "The update manifest is malformed"},
    };
    for (const auto& c : cases) {
        const std::string text = Manifest("1", "https://h/a.zip", Digest, c.keys);
        std::string result;
        const std::string message = ErrorMessageOf([&] {
            const auto sequence = CheckManifestFreshness(text, c.remembered, now);
            result = sequence ? std::to_string(*sequence) : "none";
        });
        EXPECT_EQ(result.empty() ? message : result, c.result) << c.keys;
    }
}

TEST(UtcTimestamp, ReadsOnlyRealMomentsInItsOneForm) {
    const std::pair<const char*, std::int64_t> moments[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2000-02-29T23:59:59Z", 951868799},
        {"2026-12-09T21:30:00Z", 1796851800},
        {"9999-12-31T23:59:59Z", 253402300799},
    };
    for (const auto& [text, seconds] : moments) {
        EXPECT_EQ(ParseUtcTimestamp(text), seconds) << text;
        EXPECT_EQ(FormatUtcTimestamp(seconds), text);
    }
    for (const char* text : {"2026-02-29T00:00:00Z", "2026-13-01T00:00:00Z", "2026-12-09T24:00:00Z",
                             "2026-12-09T21:30:60Z", "2026-12-09 21:30:00Z", "2026-12-09T21:30:00+",
                             "2026-12-09T21:30Z", "+026-12-09T21:30:00Z", "1969-12-31T23:59:59Z",
                             "2026-12-09T21:30:00Zx", ""}) {
        EXPECT_EQ(ParseUtcTimestamp(text), std::nullopt) << text;
    }
}

TEST(ReadJsonStringField, LooksUpTheFirstQuotedKeyAnywhere) {
    struct Case {
        std::string text;
        std::string key;
        std::string value;
    };
    const Case cases[] = {
        {"{\"k\":\"first\",\"k\":\"second\"}", "k", "first"},
        {"{\"outer\":{\"k\":\"nested\"}}", "k", "nested"},
        {"{\"k\" \r\n : \n\t \"spaced\"}", "k", "spaced"},
        {"{\"version\":5,\"url\":\"x\"}", "version", "url"},
        {"{\"k\":\"a\\\"b\"}", "k", "a\"b"},
        {"{\"k\":\"a\\/b\\\\c\"}", "k", "a/b\\c"},
        {"{\"k\":\"\\b\\f\\n\\r\\t\"}", "k", "\b\f\n\r\t"},
        {"{\"k\":\"raw\x01\tbytes\xff\"}", "k", "raw\x01\tbytes\xff"},
        {"{\"k\":\"\"}", "k", ""},
        {"{\"k\":\"v\" garbage after", "k", "v"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadJsonStringField(c.text, c.key, true), c.value) << "text: " << c.text;
    }
    EXPECT_EQ(ReadJsonStringField("{\"a\":\"b\"}", "missing", false), "");
    EXPECT_EQ(ErrorMessageOf([] { ReadJsonStringField("{}", "missing", true); }),
              "The update manifest is missing missing");
}

}  // namespace

#include "format/manifest_object.h"

#include <gtest/gtest.h>

#include <random>

#include "format/launcher_error.h"
#include "format/manifest_signing_text.h"

namespace {

const std::string Digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string Four =
    "\"version\":\"1.0.0\",\"url\":\"https://h/a.zip\",\"sha256\":\"" + Digest + "\"";

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const LauncherError& error) {
        return error.what();
    }
    return "<no error>";
}

TEST(JsonObject, ReadsOnlyTextThatIsExactlyOneStrictObject) {
    const std::string deep =
        std::string(JsonDepthLimit - 1, '[') + std::string(JsonDepthLimit - 1, ']');
    const std::pair<std::string, bool> cases[] = {
        {" \r\n\t{} \n", true},
        {"{\"a\":{\"b\":[1,-2.5e+3,0,true,false,null,\"s\",{}]},\"c\":[]}", true},
        {"{\"a\":" + deep + "}", true},
        {"{\"a\":[" + deep + "]}", false},  // one level too deep
        {std::string(100000, '['), false},
        {"{\"a\":\"1\",\"a\":\"2\"}", false},
        {"{\"n\":{\"a\":1,\"a\":2}}", false},
        {"{\"a\":\"1\"}{}", false},
        {"{\"a\":\"1\"} x", false},
        {"{\"a\":\"1\",}", false},
        {"{\"a\":\"1\"", false},
        {"[\"a\",\"1\"]", false},
        {"", false},
        {"\xEF\xBB\xBF{}", false},  // a byte-order mark is no white space
        {"{\"a\":\"\xC3(\"}", false},
        {"{\"a\":\"\xED\xA0\x80\"}", false},  // a surrogate half written as UTF-8
        {"{\"a\":\"x\ty\"}", false},
        {"{\"a\":\"\\x\"}", false},
        {"{\"a\":\"\\ud800\"}", false},
        {"{\"a\":\"\\udc00\\ud800\"}", false},
        {"{\"a\":\"\\ud800\\u0041\"}", false},
        {"{\"a\":\"\\u12\"}", false},
        {"{\"a\":01}", false},
        {"{\"a\":1.}", false},
        {"{\"a\":-}", false},
        {"{\"a\":tru}", false},
        {"{a:\"1\"}", false},
    };
    for (const auto& [text, strict] : cases) {
        EXPECT_EQ(ReadJsonObject(text).has_value(), strict) << text.substr(0, 80);
    }
}

TEST(JsonObject, YieldsTopLevelStringsWithEveryEscapeResolved) {
    const auto members = ReadJsonObject(
        "{\"s\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\u00e9\\ud83d\\ude00\xC3\xA9\","
        "\"n\":5,\"o\":{\"s\":\"inner\"},\"\\u0061\":\"\"}");
    ASSERT_TRUE(members);
    EXPECT_EQ(*members, (JsonMembers{{"s", "\"\\/\b\f\n\r\tA\xC3\xA9\xF0\x9F\x98\x80\xC3\xA9"},
                                     {"n", std::nullopt},
                                     {"o", std::nullopt},
                                     {"a", ""}}));
}

TEST(JsonObject, RandomTextIsReadOrRefusedAndEveryStringWrittenBackReadsTheSame) {
    std::mt19937 random(34);
    const std::string tokens[] = {"\"k\"",
                                  "\"v\"",
                                  "\"\\u00e9\"",
                                  "\"\\ud83d\\ude00\"",
                                  "\"\\ud800\"",
                                  "\"a\\\"b\\n\"",
                                  "\"\xC3\xA9\"",
                                  "\"\xFF\"",
                                  "\"\t\"",
                                  "{",
                                  "}",
                                  "[",
                                  "]",
                                  ":",
                                  ",",
                                  "-0.5e3",
                                  "01",
                                  "true",
                                  "nul",
                                  " "};
    std::uniform_int_distribution<size_t> pick(0, std::size(tokens) - 1), length(0, 12);
    int objects = 0;
    for (int round = 0; round < 100000; ++round) {
        std::string text = "{\"k\":";
        for (size_t n = length(random); n > 0; --n) text += tokens[pick(random)];
        const std::optional<JsonMembers> members = ReadJsonObject(text);
        if (!members) continue;
        ++objects;
        for (const auto& [name, value] : *members) {
            if (!value) continue;
            std::string written = "{";
            written += JsonText(name) + ":" + JsonText(*value) + "}";
            const auto again = ReadJsonObject(written);
            ASSERT_TRUE(again) << text;
            EXPECT_EQ(again->at(name), value) << text;
        }
    }
    EXPECT_GT(objects, 100) << "the generator should reach objects";
}

TEST(JsonText, EscapesOnlyWhatJsonRequires) {
    EXPECT_EQ(JsonText("a\"b\\c/\xC3\xA9\x7F"), "\"a\\\"b\\\\c/\xC3\xA9\x7F\"");
    EXPECT_EQ(JsonText(std::string("\b\f\n\r\t\x01\x1F", 7)), "\"\\b\\f\\n\\r\\t\\u0001\\u001f\"");
    // Both readers give back every value without a control character.
    const std::string value = "x\"y\\z/\xC3\xA9";
    const std::string text = "{\"k\":" + JsonText(value) + "}";
    EXPECT_EQ(ReadJsonStringField(text, "k", true), value);
    EXPECT_EQ(ReadJsonObject(text)->at("k"), value);
}

TEST(ManifestFields, KeysBeyondTheFourCountOnlyInAStrictObject) {
    struct Case {
        const char* name;
        std::string text;
        std::string keepBuilds;
        std::string buildIndex;
    };
    const Case cases[] = {
        {"strict", "{" + Four + ",\"keep_builds\":\"2\",\"build_index\":\"i\"}", "2", "i"},
        {"nested values do not count",
         "{" + Four + ",\"x\":{\"keep_builds\":\"2\"},\"build_index\":[\"i\"]}", "", ""},
        {"a number does not count", "{" + Four + ",\"keep_builds\":2}", "", ""},
        {"a key twice", "{" + Four + ",\"keep_builds\":\"2\",\"keep_builds\":\"3\"}", "", ""},
        {"trailing text", "{" + Four + ",\"keep_builds\":\"2\"},", "", ""},
        {"invalid UTF-8", "{" + Four + ",\"keep_builds\":\"2\",\"p\":\"\xFF\"}", "", ""},
        // A value standing in for a key: signature and full-signature values
        // changed after signing, or platform's and signature's.
        {"forged keep count in signatures",
         "{" + Four + ",\"signature\":\"keep_builds\",\"full-signature\":\"1\"}", "", ""},
        {"forged keep count in platform",
         "{" + Four + ",\"platform\":\"keep_builds\",\"signature\":\"1\"}", "", ""},
    };
    for (const Case& c : cases) {
        for (const bool keyed : {false, true}) {
            const std::string message = MessageOf([&] {
                const ManifestFields read = ReadManifestFields(c.text, keyed);
                EXPECT_EQ(read.version, "1.0.0") << c.name;
                EXPECT_EQ(read.keepBuilds, c.keepBuilds) << c.name;
                EXPECT_EQ(read.buildIndex, c.buildIndex) << c.name;
            });
            // A keyed launcher takes a strict object only.
            const bool strict = ReadJsonObject(c.text).has_value();
            EXPECT_EQ(message, keyed && !strict ? "The update manifest is malformed" : "<no error>")
                << c.name << (keyed ? ", keyed" : "");
        }
    }
}

TEST(ManifestFields, TheFourAreLookedUpUnlessKeyed) {
    struct Case {
        std::string text;
        std::string lookedUp;  // the version, or the sentence
        std::string keyed;
    };
    const std::string malformed = "The update manifest is malformed";
    const Case cases[] = {
        // The first quoted "version" anywhere, nested or not.
        {"{\"m\":{\"version\":\"0\"}," + Four + "}", "0", "1.0.0"},
        {"{\"version\":\"0\"," + Four + "}", "0", malformed},
        {"{" + Four + ",\"version\"}", "1.0.0", malformed},
        {"{\"version\":5,\"url\":\"https://h/a.zip\",\"sha256\":\"" + Digest + "\"}", "url",
         malformed},
        {"{\"version\":\"\\u0031\",\"url\":\"https://h/a.zip\",\"sha256\":\"" + Digest + "\"}",
         "The update manifest contains an unsupported escape", "1"},
        {"{\"url\":\"https://h/a.zip\",\"sha256\":\"" + Digest + "\"}",
         "The update manifest is missing version", "The update manifest is missing version"},
        {"{\"version\":\"1\",\"sha256\":\"" + Digest + "\"}", "The update manifest is missing url",
         "The update manifest is missing url"},
    };
    for (const Case& c : cases) {
        for (const bool keyed : {false, true}) {
            std::string version;
            const std::string message =
                MessageOf([&] { version = ReadManifestFields(c.text, keyed).version; });
            EXPECT_EQ(message == "<no error>" ? version : message, keyed ? c.keyed : c.lookedUp)
                << c.text << (keyed ? ", keyed" : "");
        }
    }
}

TEST(ManifestFields, WhatTheWriterWritesReadsBackAsWritten) {
    ManifestFields fields;
    fields.version = "1.0-\"rc\"\\\xC3\xA9";
    fields.url = "https://h/a.zip";
    fields.sha256 = Digest;
    fields.executable = "tessik.exe";
    fields.byteRanges = true;
    fields.keepBuilds = "3";
    fields.sequence = "7";
    fields.secondFullSignature = "s";
    const std::string text = ManifestJson(fields);
    EXPECT_EQ(text.find("\\u"), std::string::npos);
    for (const bool keyed : {false, true}) {
        const ManifestFields read = ReadManifestFields(text, keyed);
        EXPECT_EQ(ManifestJson(read), text);
    }
    EXPECT_TRUE(KeyLookupReadsAsObject(text, *ReadJsonObject(text)));
    fields.expires = "2030\n";
    EXPECT_EQ(MessageOf([&] { ManifestJson(fields); }),
              "The manifest's expires holds a control character, which a signed manifest cannot "
              "carry");
}

TEST(ManifestFields, OnlyTextsThatReadAlikeByTheKeyLookupPassTheToolsCheck) {
    const std::pair<std::string, bool> cases[] = {
        {"{" + Four + ",\"keep_builds\":\"3\"}", true},
        // What a launcher shipped before the strict reader would misread.
        {"{" + Four + ",\"signature\":\"keep_builds\",\"full-signature\":\"1\"}", false},
        {"{\"note\":\"\\\"url\",\"x\":\"https://elsewhere\"," + Four + "}", false},
        {"{\"note\":\"url\",\"x\":\"https://elsewhere\",\"version\":\"1\"}", false},
        {"{\"version\":\"\\u0031\"}", false},
        {"{" + Four + ",\"ranges\":5}", false},
    };
    for (const auto& [text, alike] : cases) {
        EXPECT_EQ(KeyLookupReadsAsObject(text, *ReadJsonObject(text)), alike) << text;
    }
}

}  // namespace

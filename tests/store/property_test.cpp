// Properties of the pure rules, checked on many generated inputs (fixed seed,
// so a failure repeats).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "app/entry_point.h"
#include "base/command_line.h"
#include "format/json.h"
#include "base/launcher_error.h"
#include "base/text.h"
#include "service/update_manifest.h"
#include "store/archive.h"
#include "store/installed_versions.h"

namespace {

namespace fs = std::filesystem;

template <typename Char>
std::basic_string<Char> RandomText(std::mt19937& random, const std::basic_string<Char>& alphabet,
                                   size_t maxLength) {
    std::uniform_int_distribution<size_t> length(0, maxLength);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::basic_string<Char> text(length(random), Char{});
    for (Char& c : text) c = alphabet[pick(random)];
    return text;
}

TEST(QuotingProperty, EveryArgumentListRoundTrips) {
    std::mt19937 random(20261209);
    const std::wstring alphabet = L"ab \t\"\\\\\\\u00E9\u65E5:/.%";
    std::uniform_int_distribution<int> count(1, 6);
    for (int round = 0; round < 20000; ++round) {
        // The program word is never empty and holds no quote, as a path.
        std::vector<std::wstring> arguments{L"C:\\Program Files\\x.exe"};
        const int extra = count(random);
        for (int i = 0; i < extra; ++i) {
            std::wstring argument = RandomText(random, alphabet, 12);
            if (argument.empty()) argument = L"x";  // empty arguments are never written
            arguments.push_back(argument);
        }
        const std::wstring line = BuildCommandLine(arguments);
        ASSERT_EQ(SplitCommandLine(line.c_str()), arguments) << Utf16ToUtf8(line);
    }
}

// Where a name lands when it is joined under a root and normalised the way
// paths are: "." and empty steps stay, ".." climbs, a rooted or drive name
// starts elsewhere. False when it would leave the root.
bool StaysUnderRoot(const std::string& name) {
    std::string path;
    for (char c : name) {
        if (c != '\r') path.push_back(c == '/' ? '\\' : c);
    }
    if (!path.empty() && path[0] == '\\') return false;
    if (path.size() >= 2 && path[1] == ':') return false;
    size_t depth = 0;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        const std::string step = path.substr(start, end - start);
        if (step == "..") {
            if (depth == 0) return false;
            --depth;
        } else if (!step.empty() && step != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return true;
}

TEST(EntryNameProperty, AcceptedNamesStayUnderTheRoot) {
    std::mt19937 random(7);
    const std::string alphabet = "ab./\\:\rC";
    size_t accepted = 0;
    for (int round = 0; round < 50000; ++round) {
        const std::string name = RandomText(random, alphabet, 10);
        if (!IsSafeArchiveEntry(name)) continue;
        ++accepted;
        ASSERT_TRUE(StaysUnderRoot(name)) << name;
    }
    EXPECT_GT(accepted, 5000u) << "the generator should reach accepted names";
}

TEST(JsonFieldProperty, RandomBytesReturnOrRaiseOneOfTheMessages) {
    std::mt19937 random(99);
    const std::string alphabet = std::string("\"\\:,{} kvbnrtfu/") + '\0' + "\xC3\xFF";
    const std::vector<std::string> messages = {
        "The update manifest is missing k",
        "The update manifest is malformed",
        "The update manifest contains an unsupported escape",
        "The update manifest contains an unterminated string",
    };
    for (int round = 0; round < 50000; ++round) {
        // Exactly sized heap copies, so reading past the end is caught by the
        // bounds of the string rather than by luck.
        const std::string text = RandomText(random, alphabet, 24);
        try {
            const std::string value = ReadJsonStringField(text, "k", true);
            ASSERT_LE(value.size(), text.size());
        } catch (const LauncherError& error) {
            ASSERT_NE(std::find(messages.begin(), messages.end(), error.what()), messages.end())
                << error.what();
        }
    }
}

// Newer by the numbers: the first differing component decides, and a list
// that extends another one is the newer.
bool NumbersAreNewer(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i]) return a[i] > b[i];
    }
    return a.size() > b.size();
}

TEST(VersionOrderProperty, FollowsTheNumbersNotTheText) {
    // Dotted numbers of one to three digits per component, so that text order
    // ("0.10" before "0.9") and number order often disagree.
    std::mt19937 random(11);
    std::uniform_int_distribution<int> components(1, 4);
    std::uniform_int_distribution<int> digits(1, 3);
    std::uniform_int_distribution<std::uint32_t> digit(0, 9);
    const auto make = [&] {
        std::vector<std::uint32_t> numbers(static_cast<size_t>(components(random)));
        for (std::uint32_t& n : numbers) {
            n = 0;
            for (int d = digits(random); d > 0; --d) n = n * 10 + digit(random);
        }
        return numbers;
    };
    const auto text = [](const std::vector<std::uint32_t>& numbers) {
        std::wstring version;
        for (size_t i = 0; i < numbers.size(); ++i) {
            if (i > 0) version += L'.';
            version += std::to_wstring(numbers[i]);
        }
        return version;
    };
    int textDisagrees = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::vector<std::uint32_t> a = make();
        const std::vector<std::uint32_t> b = make();
        const std::wstring ta = text(a);
        const std::wstring tb = text(b);
        ASSERT_EQ(IsNewerVersion(ta, tb), NumbersAreNewer(a, b))
            << Utf16ToUtf8(ta) << " against " << Utf16ToUtf8(tb);
        if ((ta > tb) != NumbersAreNewer(a, b)) ++textDisagrees;
    }
    // The inputs separate the two orders, so a text comparison fails here.
    EXPECT_GT(textDisagrees, 2000);
    EXPECT_TRUE(IsNewerVersion(L"0.10", L"0.9"));
    EXPECT_TRUE(IsNewerVersion(L"1.10", L"1.2"));
    EXPECT_TRUE(IsNewerVersion(L"10", L"9.9"));
}

TEST(VersionOrderProperty, IsAStrictWeakOrderOnAnyText) {
    // Any folder name may be listed: the order must stay consistent for the
    // sort, whatever the text.
    std::mt19937 random(3);
    const std::wstring alphabet = L"0129.-a ";
    std::vector<std::wstring> versions;
    for (int i = 0; i < 300; ++i) versions.push_back(RandomText(random, alphabet, 8));
    const auto equivalent = [](const std::wstring& a, const std::wstring& b) {
        return !IsNewerVersion(a, b) && !IsNewerVersion(b, a);
    };
    for (const std::wstring& a : versions) {
        ASSERT_FALSE(IsNewerVersion(a, a));
        for (const std::wstring& b : versions) {
            if (IsNewerVersion(a, b)) {
                ASSERT_FALSE(IsNewerVersion(b, a));
            }
        }
    }
    std::uniform_int_distribution<size_t> pick(0, versions.size() - 1);
    for (int round = 0; round < 30000; ++round) {
        const std::wstring& a = versions[pick(random)];
        const std::wstring& b = versions[pick(random)];
        const std::wstring& c = versions[pick(random)];
        if (IsNewerVersion(a, b) && IsNewerVersion(b, c)) {
            ASSERT_TRUE(IsNewerVersion(a, c));
        }
        if (equivalent(a, b) && equivalent(b, c)) {
            ASSERT_TRUE(equivalent(a, c));
        }
    }
    // Leading zeros name the same numbers, so such names are equivalent.
    EXPECT_TRUE(equivalent(L"1.02", L"1.2"));
    EXPECT_TRUE(equivalent(L"007", L"7"));
}

}  // namespace

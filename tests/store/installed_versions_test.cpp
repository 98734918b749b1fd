#include "store/installed_versions.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "store/storage.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

TEST(ParseVersionNumbers, ReadsEachComponentLikeWcstoul) {
    struct Case {
        std::wstring text;
        std::vector<std::uint32_t> numbers;
    };
    const Case cases[] = {
        {L"0.1.190", {0, 1, 190}},
        {L"1.10", {1, 10}},
        {L"1.02", {1, 2}},
        {L"2.0-beta", {2, 0}},
        {L"beta2", {0}},
        {L"1..2", {1, 0, 2}},
        {L"1.2.", {1, 2}},
        {L"", {}},
        {L".", {0}},
        {L" 7.+3.-1", {7, 3, 4294967295u}},
        {L"1.4294967295", {1, 4294967295u}},
        {L"1.4294967296", {1, 0}},
        {L"1.99999999999999999999", {1, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseVersionNumbers(c.text), c.numbers) << Utf16ToUtf8(c.text);
    }
}

TEST(IsNewerVersion, OrdersNumericallyWithLongerListsNewer) {
    struct Case {
        std::wstring newer, older;
    };
    const Case cases[] = {
        {L"0.1.190", L"0.1.99"}, {L"1.10", L"1.9"},  {L"1.2.0", L"1.2"},
        {L"0.1.190", L"broken"}, {L"2", L"1.99.99"}, {L"1.0", L""},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(IsNewerVersion(c.newer, c.older)) << Utf16ToUtf8(c.newer);
        EXPECT_FALSE(IsNewerVersion(c.older, c.newer)) << Utf16ToUtf8(c.older);
    }
    for (const auto& [a, b] : {std::pair{L"1.02", L"1.2"}, std::pair{L"1.4294967296", L"1.0"}}) {
        EXPECT_FALSE(IsNewerVersion(a, b));
        EXPECT_FALSE(IsNewerVersion(b, a));
    }
}

TEST(ListInstalledVersions, ListsStartableBuildsNewestFirst) {
    const fs::path root = test_bed::FreshScratchFolder(L" root");
    const fs::path versions = root / L"versions";
    for (const wchar_t* name :
         {L"0.1.99", L"0.1.190", L"1.10", L"1.9", L"broken", L"no-exe", L"exe-is-folder"}) {
        fs::create_directories(versions / name);
    }
    for (const wchar_t* name : {L"0.1.99", L"0.1.190", L"1.10", L"1.9", L"broken"}) {
        WriteFileBytes(versions / name / L"tessik.exe", "test");
    }
    fs::create_directories(versions / L"exe-is-folder" / L"tessik.exe");
    WriteFileBytes(versions / L"9.9.9", "a plain file");

    const std::vector<InstalledVersion> builds = ListInstalledVersions(root);
    std::vector<std::wstring> names;
    for (const InstalledVersion& build : builds) {
        names.push_back(build.name);
        EXPECT_EQ(build.path, versions / build.name);
    }
    EXPECT_EQ(names,
              (std::vector<std::wstring>{L"1.10", L"1.9", L"0.1.190", L"0.1.99", L"broken"}));
}

TEST(ListInstalledVersions, MissingFoldersGiveAnEmptyList) {
    const fs::path root = test_bed::FreshScratchFolder();
    EXPECT_TRUE(ListInstalledVersions(root).empty());
    EXPECT_TRUE(ListInstalledVersions(root / L"absent").empty());
    WriteFileBytes(root / L"versions", "not a folder");
    EXPECT_TRUE(ListInstalledVersions(root).empty());
}

}  // namespace

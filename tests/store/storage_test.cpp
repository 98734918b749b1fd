#include "store/storage.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>

#include "base/text.h"
#include "store/disk_space.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

TEST(StorageRoot, FollowsAppDataThenLocalAppData) {
    struct Case {
        std::optional<std::wstring> appData, localAppData;
        std::wstring root;
    };
    const Case cases[] = {
        {L"C:\\Users\\p\\AppData\\Roaming", L"C:\\Local",
         L"C:\\Users\\p\\AppData\\Roaming\\Tessik\\launcher"},
        {L"C:\\Roaming\\", L"C:\\Local", L"C:\\Roaming\\Tessik\\launcher"},
        {L"", L"C:\\Local", L"C:\\Local\\Tessik\\launcher"},
        {std::nullopt, L"D:\\User Name\\Local", L"D:\\User Name\\Local\\Tessik\\launcher"},
        // One spelling, whatever the variable's: Windows' volume calls take no other.
        {L"C:/Users/p/./AppData/../AppData/Roaming", std::nullopt,
         L"C:\\Users\\p\\AppData\\Roaming\\Tessik\\launcher"},
        {L"relative", std::nullopt, fs::current_path().wstring() + L"\\relative\\Tessik\\launcher"},
    };
    for (const Case& c : cases) {
        ScopedVariable appData(L"APPDATA", c.appData);
        ScopedVariable localAppData(L"LOCALAPPDATA", c.localAppData);
        EXPECT_EQ(StorageRoot().wstring(), c.root);
    }
    ScopedVariable slashes(L"APPDATA", L"C:/users");
    EXPECT_TRUE(FreeBytesForCaller(StorageRoot()).has_value())
        << "the free-space check was skipped";
}

TEST(StorageRoot, FailsWithoutAnyApplicationDataFolder) {
    ScopedVariable appData(L"APPDATA", L"");
    ScopedVariable localAppData(L"LOCALAPPDATA", std::nullopt);
    EXPECT_EQ(ErrorMessageOf([] { StorageRoot(); }),
              "Windows did not provide an application-data folder");
}

TEST(ReadEnvironmentVariable, EmptyAndUnsetReadAlike) {
    {
        ScopedVariable v(L"TESSIK_TEST_VALUE", L"");
        EXPECT_EQ(ReadEnvironmentVariable(L"TESSIK_TEST_VALUE"), L"");
    }
    {
        ScopedVariable v(L"TESSIK_TEST_VALUE", std::nullopt);
        EXPECT_EQ(ReadEnvironmentVariable(L"TESSIK_TEST_VALUE"), L"");
    }
    const std::wstring longValue(5000, L'\u00E9');
    ScopedVariable v(L"TESSIK_TEST_VALUE", longValue);
    EXPECT_EQ(ReadEnvironmentVariable(L"TESSIK_TEST_VALUE"), longValue);
}

TEST(TextConversion, RoundTripsWellFormedText) {
    const std::wstring samples[] = {
        L"",
        L"plain",
        L"C:\\Users\\J\u00F6rg\\AppData",
        L"\u65E5\u672C\u8A9E \U0001F3AE",
        std::wstring(L"embedded\0zero", 13),
    };
    for (const std::wstring& text : samples) {
        EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
    }
    EXPECT_EQ(Utf16ToUtf8(L"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(Utf16ToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
}

TEST(TextConversion, RejectsInvalidUtf8) {
    for (const std::string& bad : {std::string("\x80"), std::string("ok\xC3"),
                                   std::string("\xED\xA0\x80"), std::string("\xFF\xFE")}) {
        EXPECT_EQ(ErrorMessageOf([&] { Utf8ToUtf16(bad); }),
                  "The update service returned invalid text");
    }
}

TEST(FileBytes, ReadsAndWritesExactBytes) {
    const std::filesystem::path folder = test_bed::FreshScratchFolder(L" with blank \u00E9");
    const std::filesystem::path file = folder / L"state \u00E9.json";
    EXPECT_EQ(ReadFileBytes(file), "");  // missing

    const std::string bytes("line\r\nnext\n\0\xFF end", 17);
    WriteFileBytes(file, bytes);
    EXPECT_EQ(ReadFileBytes(file), bytes);

    WriteFileBytes(file, "short");
    EXPECT_EQ(ReadFileBytes(file), "short");

    WriteFileBytes(file, "");
    EXPECT_EQ(ReadFileBytes(file), "");
    EXPECT_TRUE(std::filesystem::exists(file));
}

TEST(FileBytes, WritingIntoAMissingFolderFails) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"absent" / L"x.json";
    EXPECT_EQ(ErrorMessageOf([&] { WriteFileBytes(file, "x"); }), "Could not write launcher state");
    EXPECT_FALSE(std::filesystem::exists(file.parent_path()));
}

}  // namespace

#include "store/tree_removal.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "store/archive.h"
#include "store/storage.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

TEST(ExtendedLengthPath, PrefixesDrivesAndShares) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {LR"(C:\Users\Zoë\AppData)", LR"(\\?\C:\Users\Zoë\AppData)"},
        {LR"(\\server\share\Tessik)", LR"(\\?\UNC\server\share\Tessik)"},
        {LR"(\\?\C:\already)", LR"(\\?\C:\already)"},
    };
    for (const auto& [full, extended] : cases) {
        EXPECT_EQ(ExtendedLengthPath(full), extended) << Utf16ToUtf8(full);
    }
}

TEST(RemoveTree, RemovesReadOnlyEntriesAndAcceptsAMissingPath) {
    const fs::path folder = test_bed::FreshScratchFolder() / L"build";
    fs::create_directories(folder / L"assets");
    WriteFileBytes(folder / L"assets" / L"locked.bin", "x");
    SetFileAttributesW((folder / L"assets" / L"locked.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((folder / L"assets").c_str(), FILE_ATTRIBUTE_READONLY);
    RemoveTree(folder);
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_NO_THROW(RemoveTree(folder));
    EXPECT_TRUE(TryRemoveTree(folder / L"never" / L"made"));
}

TEST(TreeHoldsLink, FindsALinkAtAnyDepthAndNeverEntersIt) {
    const fs::path scratch = test_bed::FreshScratchFolder();
    const fs::path plain = scratch / L"plain";
    const fs::path linked = scratch / L"linked";
    fs::create_directories(plain / L"assets");
    WriteFileBytes(plain / L"assets" / L"a.txt", "a");
    fs::create_directories(linked);
    // The real archive program makes the link, as it would in a build.
    RunCapturedProcess({SystemTarPath().wstring(), L"-xf",
                        test_bed::DataFile(L"link-outside.zip").wstring(), L"-C",
                        linked.wstring()});
    EXPECT_FALSE(TreeHoldsLink(plain));
    EXPECT_TRUE(TreeHoldsLink(linked));
    EXPECT_TRUE(TreeHoldsLink(linked / L"assets" / L"outside"));
    EXPECT_FALSE(TreeHoldsLink(scratch / L"missing"));

    const std::vector<std::wstring> outside = test_bed::TreeOf(test_bed::DataFile(L"outside"));
    TryRemoveTree(linked);
    EXPECT_EQ(test_bed::TreeOf(test_bed::DataFile(L"outside")), outside);
    EXPECT_FALSE(fs::exists(linked / L"tessik.exe")) << "what is not behind the link goes";
}

}  // namespace

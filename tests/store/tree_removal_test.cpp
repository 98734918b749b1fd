#include "store/tree_removal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/long_path.h"
#include "base/long_path_files.h"
#include "base/scoped_handle.h"
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

// A scanner opens each fresh file with delete sharing for about a second: the
// classic deletion leaves the name pending until then, and the folder is not
// empty yet. Deeper than a plain path reaches, as a build's tree can be.
TEST(RemoveTree, AFolderWhoseFileAScannerHoldsForASecondIsRemoved) {
    const fs::path folder = test_bed::FreshScratchFolder() / L"build";
    const fs::path deep = folder / std::wstring(120, L'a') / std::wstring(120, L'b');
    CreateFolders(deep);
    WriteWholeFile(deep / L"held.bin", "bytes", "write");
    KernelHandle scanner =
        OpenLongPathFile(deep / L"held.bin", GENERIC_READ, ShareAllAccess, OPEN_EXISTING);
    ASSERT_TRUE(scanner);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        scanner.reset();
    });
    EXPECT_NO_THROW(RemoveTree(folder));
    release.join();
    EXPECT_FALSE(PathExists(folder));
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

TEST(RemoveTree, AFolderSwappedForALinkDuringTheRemovalIsNotEntered) {
    const fs::path outsideFolder = test_bed::DataFile(L"outside");
    const std::vector<std::wstring> outside = test_bed::TreeOf(outsideFolder);
    ASSERT_EQ(outside.size(), 3u);
    const fs::path scratch = test_bed::FreshScratchFolder();
    const fs::path victim = scratch / L"victim";
    const fs::path big = victim / L"big";
    const auto swappable = [&](int i) { return big / (L"z" + std::to_wstring(i)); };
    const auto tar = [&](const wchar_t* archive) {
        return ErrorMessageOf([&] {
            RunCapturedProcess({SystemTarPath().wstring(), L"-xf",
                                test_bed::DataFile(archive).wstring(), L"-C", victim.wstring()});
        });
    };
    fs::create_directories(victim);
    ASSERT_EQ(tar(L"flat.zip"), "<no error>");
    // Another process of the player's swaps the folders z0..z7 for links out
    // of the storage once the removal has listed their folder and begun.
    std::atomic<int> swapped = 0;
    std::thread swapper([&] {
        const auto begun = [&] {
            for (int i = 0; i < 200; ++i) {
                if (!fs::exists(big / (L"f" + std::to_wstring(i)))) return true;
            }
            return false;
        };
        while (!begun()) std::this_thread::yield();
        for (int i = 0; i < 8; ++i) {
            const fs::path aside = scratch / (L"moved-z" + std::to_wstring(i));
            if (MoveFileExW(swappable(i).c_str(), aside.c_str(), 0)) ++swapped;
        }
        tar(L"swap-links.zip");
    });
    TryRemoveTree(victim);
    swapper.join();
    EXPECT_GT(swapped.load(), 0) << "the removal ended before the swap";
    EXPECT_EQ(test_bed::TreeOf(outsideFolder), outside);
}

TEST(TreeHoldsLink, AFolderThatCannotBeReadIsSaidSo) {
    const fs::path folder = test_bed::FreshScratchFolder() / L"unpacked";
    fs::create_directories(folder / L"assets");
    // Held without read sharing, as a program that locks it would.
    KernelHandle held(CreateFileW((folder / L"assets").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ErrorMessageOf([&] { TreeHoldsLink(folder); }),
              "Could not examine the unpacked update");
}

}  // namespace

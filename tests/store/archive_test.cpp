#include "store/archive.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "base/text.h"
#include "store/storage.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

std::string UnpackError(const fs::path& archive, const fs::path& destination) {
    return ErrorMessageOf([&] { UnpackUpdateArchive(archive, destination); });
}

TEST(IsSafeArchiveEntry, RefusesNamesThatLeaveTheFolder) {
    struct Case {
        std::string name;
        bool safe;
    };
    const Case cases[] = {
        {"assets/models/bird.glb", true},
        {"tessik.exe", true},
        {"assets/", true},
        {"a//b", true},
        {"assets/.../x", true},
        {".x", true},
        {"a/..b/c", true},
        {"tessik.exe\r", true},
        {"../tessik.exe", false},
        {"C:\\tessik.exe", false},
        {"C:tessik.exe", false},
        {"assets/../../tessik.exe", false},
        {"./tessik.exe", false},
        {"a/./b", false},
        {"a/..", false},
        {"..", false},
        {".", false},
        {"/etc/passwd", false},
        {"\\windows\\x", false},
        {"assets\\..\\..\\x", false},
        {"", false},
        {"\r", false},
        {"..\r", false},
        {".\r./x", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsSafeArchiveEntry(c.name), c.safe) << "name: " << c.name;
    }
}

TEST(CheckArchiveListing, NeedsTopLevelExecutableAndOnlySafeNames) {
    struct Case {
        std::string listing;
        std::string message;
    };
    const Case cases[] = {
        {"tessik.exe\nassets/\nassets/a.bin\n", "<no error>"},
        {"assets/a.bin\r\ntessik.exe\r\n", "<no error>"},
        {"assets/a.bin\ntessik.exe", "<no error>"},
        {"game/tessik.exe\n", "The update archive is missing tessik.exe"},
        {"TESSIK.EXE\n", "The update archive is missing tessik.exe"},
        {"", "The update archive is missing tessik.exe"},
        {"tessik.exe\n\nassets/a\n", "The update archive contains an unsafe path"},
        {"tessik.exe\n../x\n", "The update archive contains an unsafe path"},
        // The first unsafe name is reported even before the executable is seen.
        {"/x\ngame/tessik.exe\n", "The update archive contains an unsafe path"},
        {"tessik.exe\r\ntar: Error opening archive\r\n", "<no error>"},
        {"tessik.exe\n/usr/bin/bsdtar: Damaged entry\n",
         "The update archive contains an unsafe path"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorMessageOf([&] { CheckArchiveListing(c.listing); }), c.message)
            << "listing: " << c.listing;
    }
}

TEST(SplitListingLines, SplitsAtLineFeeds) {
    EXPECT_EQ(SplitListingLines(""), std::vector<std::string>{});
    EXPECT_EQ(SplitListingLines("a\n"), std::vector<std::string>{"a"});
    EXPECT_EQ(SplitListingLines("a\nb"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(SplitListingLines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(SplitListingLines("a\r\n"), std::vector<std::string>{"a\r"});
}

TEST(UnpackUpdateArchive, ExtractsAGoodBuild) {
    const fs::path destination = test_bed::FreshScratchFolder() / L"staging" / L"runtime";
    UnpackUpdateArchive(test_bed::DataFile(L"good.zip"), destination);
    EXPECT_TRUE(fs::is_regular_file(destination / L"tessik.exe"));
    EXPECT_EQ(ReadFileBytes(destination / L"assets" / L"models" / L"bird.glb"),
              ReadFileBytes(test_bed::Folder() / L"data" / L"good-tree" / L"assets" / L"models" /
                            L"bird.glb"));
}

TEST(UnpackUpdateArchive, WorksWithBlanksAndNonAsciiInPaths) {
    const fs::path folder = test_bed::FreshScratchFolder(L" J\u00F6rg M\u00FCller");
    const fs::path archive = folder / L"down load" / L"runtime.zip";
    fs::create_directories(archive.parent_path());
    fs::copy_file(test_bed::DataFile(L"good.zip"), archive);
    const fs::path destination = folder / L"my runtime";
    UnpackUpdateArchive(archive, destination);
    EXPECT_TRUE(fs::is_regular_file(destination / L"tessik.exe"));
}

TEST(UnpackUpdateArchive, RefusesHostileArchivesBeforeWritingAnything) {
    struct Case {
        const wchar_t* archive;
        const char* message;
    };
    const Case cases[] = {
        {L"parent.zip", "The update archive contains an unsafe path"},
        {L"nested-parent.zip", "The update archive contains an unsafe path"},
        {L"absolute.zip", "The update archive contains an unsafe path"},
        {L"drive.zip", "The update archive contains an unsafe path"},
        {L"backslash-parent.zip", "The update archive contains an unsafe path"},
        {L"dot.zip", "The update archive contains an unsafe path"},
        {L"nested-exe.zip", "The update archive is missing tessik.exe"},
        {L"capital-exe.zip", "The update archive is missing tessik.exe"},
        {L"backslash-exe.zip", "The update archive is missing tessik.exe"},
    };
    const fs::path folder = test_bed::FreshScratchFolder();
    for (const Case& c : cases) {
        const fs::path destination = folder / c.archive / L"runtime";
        EXPECT_EQ(UnpackError(test_bed::DataFile(c.archive), destination), c.message)
            << Utf16ToUtf8(c.archive);
        EXPECT_FALSE(fs::exists(destination)) << Utf16ToUtf8(c.archive);
        EXPECT_FALSE(fs::exists(destination.parent_path())) << Utf16ToUtf8(c.archive);
    }
    EXPECT_FALSE(fs::exists(folder / L"escaped.txt"));
}

TEST(UnpackUpdateArchive, RefusesNamesWindowsWouldStoreOtherThanPublished) {
    // Windows' tar.exe (and the stand-in) writes ":" "*" "?" as "_", cannot
    // create a control character, and lets a later name differing only in
    // case replace an earlier one: another build than the digest vouched for.
    const std::string refused = "The update holds names Windows cannot store as published";
    struct Case {
        const wchar_t* archive;
        std::string message;
        const wchar_t* unpackedAs;  // what tar.exe alone makes of it
    };
    const Case cases[] = {
        {L"colon-beside-underscore.zip", refused, L"assets\\ab_c.pak"},
        {L"question-folder-exe.zip", refused, L"sub_\\tessik.exe"},
        {L"case-twin-exe.zip", refused, L"tessik.exe"},
        {L"control-name.zip", refused, nullptr},
        {L"short-name-alias.zip", refused, L"assets\\textures-big.pak"},
        {L"lying-local.zip", "The update archive is not a readable zip", L"tessik.exe"},
        // Outside the ANSI code page, so tar.exe's listing shows "?": stored as published.
        {L"code-page-name.zip", "<no error>", L"assets\\\u0141\u00f3d\u017a.pak"},
    };
    const fs::path folder = test_bed::FreshScratchFolder();
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.archive));
        const fs::path destination = folder / c.archive / L"runtime";
        EXPECT_EQ(UnpackError(test_bed::DataFile(c.archive), destination), c.message);
        EXPECT_EQ(fs::exists(destination), c.message == "<no error>");

        const fs::path raw = folder / c.archive / L"tar alone";
        fs::create_directories(raw);
        const std::string tar = ErrorMessageOf([&] {
            RunCapturedProcess({SystemTarPath().wstring(), L"-xf",
                                test_bed::DataFile(c.archive).wstring(), L"-C", raw.wstring()});
        });
        EXPECT_EQ(tar,
                  c.unpackedAs ? "<no error>" : "Windows could not unpack the verified update");
        if (c.unpackedAs) {
            EXPECT_TRUE(fs::is_regular_file(raw / c.unpackedAs));
        }
    }
    EXPECT_EQ(ReadFileBytes(folder / L"case-twin-exe.zip" / L"tar alone" / L"tessik.exe"),
              "another program");
    EXPECT_EQ(test_bed::TreeOf(folder / L"short-name-alias.zip" / L"tar alone" / L"assets"),
              std::vector<std::wstring>{L"textures-big.pak"});
    EXPECT_EQ(ReadFileBytes(folder / L"short-name-alias.zip" / L"tar alone" / L"assets" /
                            L"textures-big.pak"),
              "replaced");
    EXPECT_EQ(test_bed::TreeOf(folder / L"colon-beside-underscore.zip" / L"tar alone" / L"assets"),
              std::vector<std::wstring>{L"ab_c.pak"});
}

TEST(UnpackUpdateArchive, AStagingPathTooLongToStartTarInIsSaidSo) {
    fs::path folder = test_bed::FreshScratchFolder();
    std::wstring extended = LR"(\\?\)" + folder.wstring();
    while (folder.wstring().size() < MAX_PATH) {
        folder /= std::wstring(60, L'd');
        extended += L"\\" + std::wstring(60, L'd');
        ASSERT_TRUE(CreateDirectoryW(extended.c_str(), nullptr));
    }
    ASSERT_TRUE(CopyFileW(test_bed::DataFile(L"good.zip").c_str(),
                          (extended + L"\\runtime.zip").c_str(), TRUE));
    EXPECT_EQ(UnpackError(folder / L"runtime.zip", folder / L"runtime"),
              "The TESSIK storage path is too long for Windows tar");
}

TEST(UnpackUpdateArchive, DamagedArchiveIsRefusedBeforeTarReadsIt) {
    const fs::path folder = test_bed::FreshScratchFolder();
    for (const wchar_t* name : {L"damaged.zip", L"truncated.zip"}) {
        const fs::path destination = folder / name;
        EXPECT_EQ(UnpackError(test_bed::DataFile(name), destination),
                  "The update archive is not a readable zip")
            << Utf16ToUtf8(name);
    }
    EXPECT_EQ(UnpackError(folder / L"no-such.zip", folder / L"out"),
              "The update archive is not a readable zip");
    EXPECT_FALSE(fs::exists(folder / L"out"));
}

TEST(RunCapturedProcess, CapturesOutputAndChecksTheExitCode) {
    const std::wstring tar = SystemTarPath().wstring();
    const std::string listing = RunCapturedProcess({tar, L"-tf", test_bed::DataFile(L"good.zip")});
    EXPECT_NE(listing.find("tessik.exe\n"), std::string::npos);
    EXPECT_NE(listing.find("assets/models/bird.glb"), std::string::npos);

    EXPECT_EQ(ErrorMessageOf([&] {
                  RunCapturedProcess({tar, L"--no-such-option"});
              }),
              "Windows could not unpack the verified update");
    EXPECT_EQ(ErrorMessageOf([] { RunCapturedProcess({}); }), "Internal launcher command is empty");
}

TEST(RunCapturedProcess, MissingProgramIsReportedAsMissingTar) {
    const fs::path missing = test_bed::FreshScratchFolder() / L"tar.exe";
    EXPECT_EQ(ErrorMessageOf([&] {
                  RunCapturedProcess({missing.wstring(), L"-tf", L"x.zip"});
              }),
              "Windows tar is unavailable; Windows 10 version 1803 or newer is required");
}

TEST(RunCapturedProcess, DrainsOutputLargerThanThePipe) {
    // A listing of about 600 KiB: the child would block on a full pipe if the
    // output were not read before waiting.
    const fs::path folder = test_bed::FreshScratchFolder();
    const fs::path tree = folder / L"tree";
    fs::create_directories(tree);
    const std::string longName(180, 'n');
    for (int i = 0; i < 3000; ++i) {
        WriteFileBytes(tree / Utf8ToUtf16(std::to_string(i) + longName), "");
    }
    const std::wstring tar = SystemTarPath().wstring();
    const fs::path archive = folder / L"many.zip";
    RunCapturedProcess(
        {tar, L"--format", L"zip", L"-cf", archive.wstring(), L"-C", tree.wstring(), L"."});
    const std::string listing = RunCapturedProcess({tar, L"-tf", archive.wstring()});
    EXPECT_GT(listing.size(), 500000u);
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 3001);
}

TEST(SystemTarPath, IsTheTarExeOfTheWindowsSystemFolder) {
    // Named apart from the system-folder query: the Windows folder that the
    // environment gives (C:\\windows in the test prefix) and its System32.
    const std::wstring windows = ReadEnvironmentVariable(L"SystemRoot");
    ASSERT_FALSE(windows.empty());
    const std::wstring expected = windows + L"\\System32\\tar.exe";
    EXPECT_EQ(_wcsicmp(SystemTarPath().c_str(), expected.c_str()), 0)
        << Utf16ToUtf8(SystemTarPath().wstring());
    EXPECT_EQ(_wcsicmp(SystemTarPath().c_str(), L"C:\\windows\\system32\\tar.exe"), 0);
    EXPECT_TRUE(fs::is_regular_file(SystemTarPath()));

    // Neither the current folder nor PATH changes it.
    const fs::path folder = test_bed::FreshScratchFolder();
    const fs::path previous = fs::current_path();
    fs::current_path(folder);
    ScopedVariable path(L"PATH", folder.wstring());
    const fs::path elsewhere = SystemTarPath();
    fs::current_path(previous);
    EXPECT_EQ(_wcsicmp(elsewhere.c_str(), expected.c_str()), 0);
}

// The archive program's standard error is captured with its standard output,
// so every name it writes there is checked like a listed entry.
TEST(RunCapturedProcess, StandardErrorReachesTheListingCheck) {
    const std::wstring program = test_bed::SupportProgram(L"stderr_standin.exe").wstring();
    // Only standard error names the game: the listing passes.
    const std::string gameOnError = RunCapturedProcess({program, L"-", L"tessik.exe"});
    EXPECT_EQ(gameOnError, "tessik.exe\n");
    EXPECT_EQ(ErrorMessageOf([&] { CheckArchiveListing(gameOnError); }), "<no error>");
    // An unsafe name on standard error alone refuses the listing.
    for (const wchar_t* unsafe : {L"../escape.txt", L"C:\\escape.txt", L"/etc/escape"}) {
        const std::string listing = RunCapturedProcess({program, L"tessik.exe", unsafe});
        EXPECT_EQ(listing, "tessik.exe\n" + Utf16ToUtf8(unsafe) + "\n");
        EXPECT_EQ(ErrorMessageOf([&] { CheckArchiveListing(listing); }),
                  "The update archive contains an unsafe path")
            << Utf16ToUtf8(unsafe);
    }
}

// A program named tar.exe beside the launcher or in the current folder must
// not be the one that runs: such a file may have been dropped into Downloads.
TEST(UnpackUpdateArchive, IgnoresATarExeInTheCurrentOrProgramFolder) {
    const fs::path folder = test_bed::FreshScratchFolder();
    wchar_t self[MAX_PATH];
    const fs::path programFolder =
        fs::path(std::wstring(self, GetModuleFileNameW(nullptr, self, MAX_PATH))).parent_path();
    // The game stand-in as impostor: it prints nothing and exits with 0, so if
    // it ran, the listing would pass as empty and fail for the missing game.
    const fs::path impostor = programFolder / L"support" / L"game_standin.exe";
    ASSERT_TRUE(fs::exists(impostor));
    const fs::path planted[] = {programFolder / L"tar.exe", folder / L"tar.exe"};
    for (const fs::path& place : planted)
        fs::copy_file(impostor, place, fs::copy_options::overwrite_existing);
    const fs::path previous = fs::current_path();
    fs::current_path(folder);

    const std::string message = UnpackError(test_bed::DataFile(L"good.zip"), folder / L"out");

    fs::current_path(previous);
    for (const fs::path& place : planted) fs::remove(place);
    EXPECT_EQ(message, "<no error>");
}

}  // namespace

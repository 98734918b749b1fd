#include "store/launcher_state.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "base/scoped_handle.h"
#include "store/manifest_sequence.h"
#include "store/storage.h"
#include "tests/support/file_seam.h"
#include "tests/support/test_bed.h"

namespace {

TEST(LauncherState, WritesTheExactBytes) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / StateFileName;
    WriteLauncherState(file, LauncherState{"1.0", L"C:\\x\\versions\\1.0"});
    const std::string bytes = ReadFileBytes(file);
    EXPECT_EQ(bytes, "{\"version\":\"1.0\",\"path\":\"C:\\\\x\\\\versions\\\\1.0\"}");
    EXPECT_EQ(bytes.size(), 47u);
    EXPECT_FALSE(std::filesystem::exists(file.wstring() + L".tmp"));
}

TEST(LauncherState, RoundTripsPathsAndVersions) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / StateFileName;
    const LauncherState states[] = {
        {"0.1.136",
         L"C:\\Users\\Zo\u00EB M\u00FCller\\AppData\\Tessik\\launcher\\versions\\0.1.136"},
        {"2.0", L"D:\\with \"quote\"\\and\\trailing\\"},
        {"1.0-\xC3\xA9", L"\u65E5\u672C\\\u8A9E"},
        {"with\\backslash", L"C:\\a"},
        {"with\"quote", L"C:\\b"},
        {"", L""},
    };
    for (const LauncherState& state : states) {
        WriteLauncherState(file, state);
        const LauncherState back = ReadLauncherState(file);
        EXPECT_EQ(back.version, state.version);
        EXPECT_EQ(back.path, state.path);
    }
}

TEST(LauncherState, DottedVersionsAreWrittenByteForByte) {
    EXPECT_EQ(FormatLauncherState(LauncherState{"0.1.190", L"C:\\v"}),
              "{\"version\":\"0.1.190\",\"path\":\"C:\\\\v\"}");
    EXPECT_EQ(FormatLauncherState(LauncherState{"a\"b\\c", L"p"}),
              "{\"version\":\"a\\\"b\\\\c\",\"path\":\"p\"}");
}

TEST(LauncherState, ReadsDefaultsAndPartsOfDamagedFiles) {
    const std::filesystem::path folder = test_bed::FreshScratchFolder();
    const std::filesystem::path file = folder / StateFileName;
    struct Case {
        const char* content;
        std::string version;
        std::wstring path;
    };
    const Case cases[] = {
        {"", "0.0.0", L""},
        {"{\"version\":\"1.2\"}", "1.2", L""},
        {"{\"version\":\"\\u0031\",\"path\":\"C:\\\\x\"}", "0.0.0", L""},
        {"{\"version\":\"1.2\",\"path\":\"C:\\\\\xC3(\"}", "1.2", L""},
        {"{\"version\":\"1.2\",\"path\":\"C:\\\\x\"}\r\n", "1.2", L"C:\\x"},
        {"{\"path\":\"C:\\\\x\",\"version\":\"1.2\"}", "1.2", L"C:\\x"},
        {"{ \"extra\": \"k\", \"version\" : \"3\", \"path\" : \"D:\\\\y\" }", "3", L"D:\\y"},
        {"{\"version\":\"unterminated", "0.0.0", L""},
    };
    for (const Case& c : cases) {
        WriteFileBytes(file, c.content);
        const LauncherState state = ReadLauncherState(file);
        EXPECT_EQ(state.version, c.version) << c.content;
        EXPECT_EQ(state.path, c.path) << c.content;
        EXPECT_EQ(ReadFileBytes(file), c.content) << "the reader must not touch the file";
    }
    const LauncherState missing = ReadLauncherState(folder / L"absent.json");
    EXPECT_EQ(missing.version, "0.0.0");
    EXPECT_EQ(missing.path, L"");
}

TEST(LauncherState, ReplacesAnExistingFile) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / StateFileName;
    WriteLauncherState(file, LauncherState{"1", L"C:\\old\\very\\long\\folder\\name"});
    WriteLauncherState(file, LauncherState{"2", L"C:\\n"});
    EXPECT_EQ(ReadFileBytes(file), "{\"version\":\"2\",\"path\":\"C:\\\\n\"}");
    EXPECT_FALSE(std::filesystem::exists(file.wstring() + L".tmp"));
}

TEST(LauncherState, RefusedMoveKeepsTheOldFile) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / StateFileName;
    WriteLauncherState(file, LauncherState{"1", L"C:\\old"});
    const std::string old = ReadFileBytes(file);
    {
        // Held open without sharing, the state file cannot be replaced.
        KernelHandle lock(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(lock.get(), INVALID_HANDLE_VALUE);
        file_seam::PassPausesAtOnce();  // the retries would wait 30 s for nothing
        EXPECT_EQ(ErrorMessageOf([&] {
                      WriteLauncherState(file, LauncherState{"2", L"C:\\new"});
                  }),
                  "Could not activate the verified update");
        file_seam::Reset();
    }
    EXPECT_EQ(ReadFileBytes(file), old);
    EXPECT_EQ(ReadFileBytes(file.wstring() + L".tmp"),
              "{\"version\":\"2\",\"path\":\"C:\\\\new\"}");
}

TEST(LauncherState, UnwritableTemporaryFileKeepsTheOldFile) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / StateFileName;
    WriteLauncherState(file, LauncherState{"1", L"C:\\old"});
    // A folder in the temporary file's place cannot be opened for writing.
    std::filesystem::create_directory(file.wstring() + L".tmp");
    EXPECT_EQ(ErrorMessageOf([&] {
                  WriteLauncherState(file, LauncherState{"2", L"C:\\new"});
              }),
              "Could not write launcher state");
    EXPECT_EQ(ReadLauncherState(file).version, "1");
}

TEST(LauncherState, MissingFolderFailsToWrite) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"absent" / StateFileName;
    EXPECT_EQ(ErrorMessageOf([&] { WriteLauncherState(file, LauncherState{}); }),
              "Could not write launcher state");
}

TEST(RememberedSequences, KeepsTheHighestOfEachKindAcrossRunsAndFailedWrites) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / SequenceFileName;
    file_seam::Reset();
    {
        RememberedSequences seen(file);
        EXPECT_EQ(seen.Highest(ManifestKind::Game), std::nullopt);
        seen.Accept(ManifestKind::Game, 5);
        seen.Accept(ManifestKind::Launcher, std::nullopt);
    }
    EXPECT_EQ(ReadFileBytes(file), "{\"game\":\"5\"}");
    EXPECT_TRUE(file_seam::LastMovedFileWasFlushed());
    {
        RememberedSequences seen(file);  // the next run
        EXPECT_EQ(seen.Highest(ManifestKind::Game), 5u);
        EXPECT_EQ(seen.Highest(ManifestKind::Launcher), std::nullopt);
        // Neither an equal nor a lower number is written.
        const int moves = file_seam::MoveCalls();
        seen.Accept(ManifestKind::Game, 5);
        seen.Accept(ManifestKind::Game, 4);
        EXPECT_EQ(file_seam::MoveCalls(), moves);
        seen.Accept(ManifestKind::Launcher, 7);
        // A write that cannot finish keeps the old file; this run still knows.
        file_seam::FailNextMoves(1, ERROR_DISK_FULL);
        seen.Accept(ManifestKind::Game, 9);
        EXPECT_EQ(seen.Highest(ManifestKind::Game), 9u);
    }
    EXPECT_EQ(ReadFileBytes(file), "{\"game\":\"5\",\"launcher\":\"7\"}");
    // A run that died while writing left its temporary file behind.
    WriteFileBytes(file.wstring() + L".tmp", "{\"game\":\"1");
    EXPECT_EQ(RememberedSequences(file).Highest(ManifestKind::Launcher), 7u);
    // A damaged file remembers nothing it cannot read.
    WriteFileBytes(file, "{\"game\":\"x\",\"launcher\":\"8");
    EXPECT_EQ(RememberedSequences(file).Highest(ManifestKind::Game), std::nullopt);
    EXPECT_EQ(RememberedSequences(file).Highest(ManifestKind::Launcher), std::nullopt);
    file_seam::Reset();
}

}  // namespace

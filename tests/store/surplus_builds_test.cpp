#include "store/surplus_builds.h"

#include <gtest/gtest.h>

#include "base/long_path_files.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

TEST(SurplusBuilds, KeepsTheNewestByVersionThenCreationAndNeverTheRecordedBuild) {
    struct Case {
        const char* what;
        std::vector<StoredBuild> builds;
        unsigned keep;
        std::vector<std::wstring> removed;
    };
    const Case cases[] = {
        {"fewer than kept", {{L"0.2", 2}, {L"0.1", 1}}, 2, {}},
        {"by version, not listing order",
         {{L"0.9", 1}, {L"0.10", 2}, {L"0.1.190", 3}, {L"0.1.99", 4}},
         2,
         {L"0.1.190", L"0.1.99"}},
        {"not by creation time", {{L"2.0", 1}, {L"1.0", 9}, {L"3.0", 5}}, 1, {L"2.0", L"1.0"}},
        {"equal versions: the newer folder stays",
         {{L"1.2", 5}, {L"1.02", 7}, {L"1.1", 9}},
         1,
         {L"1.2", L"1.1"}},
        {"a rolled-back recorded build stays", {{L"3", 3}, {L"2", 2}, {L"1", 1, true}}, 1, {L"2"}},
        {"the recorded build counts among the kept",
         {{L"3", 3, true}, {L"2", 2}, {L"1", 1}},
         2,
         {L"1"}},
        {"keep one", {{L"5", 1, true}, {L"4", 1}}, 1, {L"4"}},
        {"names without numbers are oldest", {{L"beta", 9}, {L"0.1", 1}}, 1, {L"beta"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SurplusBuilds(c.builds, c.keep), c.removed) << c.what;
    }
}

// A storage root with stored builds (each with tessik.exe) and one file
// beside "versions".
fs::path RootWithBuilds(const std::wstring& name, const std::vector<std::wstring>& versions) {
    const fs::path root = test_bed::FreshScratchFolder(name);
    for (const std::wstring& version : versions) {
        fs::create_directories(root / L"versions" / version / L"assets");
        WriteFileBytes(root / L"versions" / version / L"tessik.exe", "game");
        WriteFileBytes(root / L"versions" / version / L"assets" / L"pack.bin", "pack");
    }
    WriteFileBytes(root / L"current-windows.json", "{}");
    return root;
}

std::vector<std::wstring> Entries(const fs::path& folder) {
    std::vector<std::wstring> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SurplusBuilds, MovesOlderBuildsOutOfVersionsThenRemovesThemAndNothingElse) {
    const fs::path root = RootWithBuilds(L"", {L"0.1", L"0.2", L"0.3", L"0.4"});
    // Not a build: no executable, and a plain file.
    fs::create_directories(root / L"versions" / L"0.0-broken");
    WriteFileBytes(root / L"versions" / L"notes.txt", "x");
    const std::vector<fs::path> moved =
        MoveSurplusBuildsAside(root, 2, {root / L"versions" / L"0.1"});
    // Out of "versions" before the game starts; its bytes are freed after.
    EXPECT_EQ(Entries(root / L"versions"),
              (std::vector<std::wstring>{L"0.0-broken", L"0.1", L"0.3", L"0.4", L"notes.txt"}));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_TRUE(IsRegularFileAt(moved.front() / L"tessik.exe"));
    RemoveMovedBuilds(moved);
    EXPECT_EQ(Entries(root), (std::vector<std::wstring>{L"current-windows.json", L"versions"}));
}

TEST(SurplusBuilds, WithoutACountRemovesNothing) {
    const fs::path root = RootWithBuilds(L"", {L"0.1", L"0.2", L"0.3"});
    EXPECT_TRUE(MoveSurplusBuildsAside(root, std::nullopt, {root / L"versions" / L"0.3"}).empty());
    EXPECT_EQ(Entries(root / L"versions"), (std::vector<std::wstring>{L"0.1", L"0.2", L"0.3"}));
}

TEST(SurplusBuilds, ABuildWithAnOpenFileStaysUntilALaterRun) {
    const fs::path root = RootWithBuilds(L"", {L"0.1", L"0.2", L"0.3"});
    const fs::path held = root / L"versions" / L"0.1" / L"assets" / L"pack.bin";
    {
        // As a game started with "PLAY THIS VERSION" holds its files.
        KernelHandle open(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(open.get(), INVALID_HANDLE_VALUE);
        RemoveMovedBuilds(MoveSurplusBuildsAside(root, 1, {root / L"versions" / L"0.3"}));
        EXPECT_EQ(Entries(root / L"versions"), (std::vector<std::wstring>{L"0.1", L"0.3"}));
        EXPECT_EQ(ReadFileBytes(held), "pack");
        EXPECT_EQ(Entries(root), (std::vector<std::wstring>{L"current-windows.json", L"versions"}));
    }
    RemoveMovedBuilds(MoveSurplusBuildsAside(root, 1, {root / L"versions" / L"0.3"}));
    EXPECT_EQ(Entries(root / L"versions"), (std::vector<std::wstring>{L"0.3"}));
}

TEST(SurplusBuilds, TheRecordedAndFallbackBuildsStayWhateverSpellingTheStateHolds) {
    const fs::path root = RootWithBuilds(L"", {L"0.1", L"0.2", L"0.3", L"0.4"});
    // The same folders as an extended-length path and in other letter case:
    // their text differs from the listing's, their folder names do not.
    const fs::path recorded = LR"(\\?\)" + (root / L"VERSIONS" / L"0.1").wstring();
    const fs::path fallback = root / L"versions" / L".." / L"versions" / L"0.2" / L"";
    RemoveMovedBuilds(MoveSurplusBuildsAside(root, 1, {recorded, fallback}));
    EXPECT_EQ(Entries(root / L"versions"), (std::vector<std::wstring>{L"0.1", L"0.2", L"0.4"}));
}

TEST(SurplusBuilds, ABuildAGameRunsFromStaysThoughItsFolderCouldBeRenamed) {
    const fs::path root = RootWithBuilds(L"", {L"0.1", L"0.2"});
    const fs::path game = root / L"versions" / L"0.1" / L"tessik.exe";
    WriteFileBytes(game, ReadFileBytes(test_bed::SupportProgram(L"game_standin.exe")));
    std::optional<ChildProcess> running;
    {
        // Its current folder elsewhere, holding no file of the build open.
        ScopedVariable sleep(L"TESSIK_STANDIN_SLEEP_MS", L"60000");
        ScopedVariable record(L"TESSIK_GAME_RECORD", (root / L"game.txt").wstring());
        running.emplace(ChildProcess::Start(game, {}, root));
    }
    ASSERT_TRUE(test_bed::WaitForFile(root / L"game.txt"));
    RemoveMovedBuilds(MoveSurplusBuildsAside(root, 1, {root / L"versions" / L"0.2"}));
    EXPECT_EQ(Entries(root / L"versions"), (std::vector<std::wstring>{L"0.1", L"0.2"}));
    running->Terminate();
    running->WaitForExit();
}

}  // namespace

// What a player's disk holds after updates published by the release tool:
// the builds the studio asks to keep, and nothing of a build that cannot fit.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.h"
#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/player_machine.h"

namespace {

namespace fs = std::filesystem;

// The manifest the tool wrote as build n of a tree (see prepare_releases.py).
std::wstring Manifest(const std::wstring& tree, int n) {
    return test_bed::ServiceAddress(L"/files/" + tree + L"/release/m" + std::to_wstring(n) +
                                    L".json");
}

std::vector<std::wstring> StoredBuilds(const PlayerMachine& player) {
    std::vector<std::wstring> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(player.Root() / L"versions")) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void Update(PlayerMachine& player, const std::wstring& tree, int n) {
    player.ForgetGame();
    player.PointGameManifestAt(Manifest(tree, n));
    const PlayerMachine::Outcome run = player.Run();
    ASSERT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    // The game has recorded its start and ended before the next update.
    ASSERT_EQ(player.Game().folder, player.Build(L"1." + std::to_wstring(n)));
    Sleep(1500);
}

using Builds = std::vector<std::wstring>;

TEST(PlayerDisk, KeepingTwoBuildsLeavesTheTwoNewestThroughUpdates) {
    PlayerMachine player;
    Update(player, L"kept", 1);
    Update(player, L"kept", 2);
    EXPECT_EQ(StoredBuilds(player), (Builds{L"1.1", L"1.2"}));
    Update(player, L"kept", 3);
    EXPECT_EQ(StoredBuilds(player), (Builds{L"1.2", L"1.3"}));
    EXPECT_TRUE(player.Leftovers().empty());
}

TEST(PlayerDisk, ANewBuildThatCannotStartLeavesTheFallbacksBuildInPlace) {
    PlayerMachine player;
    Update(player, L"unstartable", 1);
    // Kept to one build, the update's own game cannot start: the build the
    // player had starts instead, this run and the next.
    for (int run = 0; run < 2; ++run) {
        player.ForgetGame();
        player.PointGameManifestAt(Manifest(L"unstartable", 2));
        const PlayerMachine::Outcome outcome = player.Run();
        ASSERT_EQ(outcome.started, 1u) << Utf16ToUtf8(outcome.failure);
        EXPECT_EQ(player.Game().folder, player.Build(L"1.1"));
        EXPECT_EQ(StoredBuilds(player), (Builds{L"1.1", L"1.2"}));
        Sleep(1500);
    }
}

TEST(PlayerDisk, AManifestWithoutTheKeyKeepsEveryBuild) {
    PlayerMachine player;
    for (int n = 1; n <= 3; ++n) Update(player, L"patched", n);
    EXPECT_EQ(StoredBuilds(player), (Builds{L"1.1", L"1.2", L"1.3"}));
}

TEST(PlayerDisk, ABuildAGameStillRunsFromStaysAndTheUpdateLands) {
    PlayerMachine player;
    Update(player, L"kept", 1);
    Update(player, L"kept", 2);
    // Started from the oldest build, as "PLAY THIS VERSION" starts it, and
    // holding one of its files.
    const fs::path old = player.Build(L"1.1");
    std::optional<ChildProcess> game;
    {
        ScopedVariable sleep(L"TESSIK_STANDIN_SLEEP_MS", L"60000");
        ScopedVariable hold(L"TESSIK_STANDIN_HOLD", (old / L"assets" / L"kept.bin").wstring());
        ScopedVariable record(L"TESSIK_GAME_RECORD",
                              (player.Scratch() / L"old-game.txt").wstring());
        game.emplace(ChildProcess::Start(old / L"tessik.exe", {}, old));
    }
    ASSERT_TRUE(test_bed::WaitForFile(player.Scratch() / L"old-game.txt"));
    Update(player, L"kept", 3);
    EXPECT_EQ(StoredBuilds(player), (Builds{L"1.1", L"1.2", L"1.3"}));
    EXPECT_TRUE(player.Leftovers().empty()) << "nothing of 1.1 was moved";

    // Once the game has ended, the next run removes it.
    game->Terminate();
    game.reset();
    Sleep(1500);
    Update(player, L"kept", 3);
    EXPECT_EQ(StoredBuilds(player), (Builds{L"1.2", L"1.3"}));
}

// The small disk (8 MiB) cannot hold a 12 MiB build: refused before anything
// of it is written, with nothing left on the disk.
TEST(PlayerDisk, ASmallDiskRefusesABuildThatCannotFitAndKeepsNothingOfIt) {
    if (!fs::exists(L"S:\\")) GTEST_SKIP() << "no small disk: mounting a tmpfs was not allowed";
    PlayerMachine player;
    const fs::path appData = fs::path(L"S:\\") / test_bed::UniqueName(L"AppData");
    ScopedVariable onSmallDisk(L"APPDATA", appData.wstring());
    const fs::path root = appData / L"Tessik" / L"launcher";
    const size_t requests = test_bed::RequestsContaining(L"tessik-2.0-");
    player.PointGameManifestAt(
        test_bed::ServiceAddress(L"/files/roomy/release/windows-x86_64-manifest.json"));
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 0u);
    EXPECT_EQ(run.failure, L"There is not enough free disk space for the update");
    EXPECT_EQ(test_bed::RequestsContaining(L"tessik-2.0-"), requests)
        << "the archive was asked for";
    std::vector<std::wstring> left;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) left.push_back(entry.path().filename().wstring());
    }
    EXPECT_EQ(left, std::vector<std::wstring>{}) << "a file of the refused build stayed";
    fs::remove_all(appData);
}

}  // namespace

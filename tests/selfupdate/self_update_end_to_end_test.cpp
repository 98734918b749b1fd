// The whole self-update as a player sees it: an old launcher finds a newer
// one published, hands over, and the newer one ends up in its place and plays.
#include <gtest/gtest.h>

#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/launcher_run.h"
#include "tests/support/player_machine.h"
#include "tests/support/ui_driver.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path NextLauncherProgram() { return test_bed::DataFile(L"launcher-0.1.191.exe"); }

// Build 0.1.136 and launcher 0.1.191, published.
void PublishGameAndNextLauncher(PlayerMachine& player) {
    player.PublishGame("0.1.136");
    const std::wstring published = test_bed::UniqueName(L"TESSIK-Launcher-Windows-x64.exe");
    test_bed::Publish(published, ReadFileBytes(NextLauncherProgram()));
    player.PublishLauncherManifest("0.1.191", test_bed::ServiceAddress(L"/files/" + published),
                                   test_bed::ExpectedSha256(L"launcher-0.1.191.exe"));
}

TEST(SelfUpdate, OldLauncherIsReplacedByThePublishedOneWhichThenPlays) {
    PlayerMachine player;
    PublishGameAndNextLauncher(player);

    const fs::path installed = player.Scratch() / L"My Games" / L"TESSIK-Launcher-Windows-x64.exe";
    fs::create_directories(installed.parent_path());
    fs::copy_file(test_bed::DataFile(L"launcher-0.1.190.exe"), installed);
    const std::string oldBytes = ReadFileBytes(installed);

    // The old launcher: one click, and it hands over and closes.
    ChildProcess old = ChildProcess::Start(installed);
    const HWND oldWindow = ui::WaitForLauncherWindow(old.Id());
    ASSERT_NE(oldWindow, nullptr);
    ui::Click(ui::FindControl(oldWindow, L"Button", L"CHECK FOR UPDATES && PLAY")->handle);
    EXPECT_EQ(old.WaitForExit(), 0u);
    EXPECT_FALSE(player.Game(0ms).ran);

    // The copy replaces it and starts the launcher in its old place, which
    // finds its own version published and plays.
    EXPECT_EQ(PlayWithTheRestartedLauncher(installed), 0u) << "the replaced launcher did not play";
    EXPECT_EQ(ReadFileBytes(installed), ReadFileBytes(NextLauncherProgram()));
    EXPECT_NE(ReadFileBytes(installed), oldBytes);
    EXPECT_EQ(ReadFileBytes(installed.parent_path() / L"launcher-backup-0.1.190.exe"), oldBytes);
    EXPECT_EQ(ReadFileBytes(player.Root() / L"launcher-update-0.1.191.exe"),
              ReadFileBytes(NextLauncherProgram()));
    const GameRecord game = player.Game();
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.folder, player.Build(L"0.1.136"));
}

// The hand-off restarts the launcher with its path alone (a shipped launcher
// must read that command line): the link it was opened with waits in
// storage, and the restarted launcher takes it to the game.
TEST(SelfUpdate, TheInviteLinkReachesTheGameThroughTheLaunchersOwnUpdate) {
    PlayerMachine player;
    PublishGameAndNextLauncher(player);
    const fs::path installed = player.Scratch() / L"TESSIK-Launcher-Windows-x64.exe";
    fs::copy_file(test_bed::DataFile(L"launcher-0.1.190.exe"), installed);

    ChildProcess old = ChildProcess::Start(installed, {L"tessik://join/through-update"});
    EXPECT_EQ(old.WaitForExit(), 0u);
    const GameRecord game = player.Game(60s);
    // The restarted launcher closes once its game runs.
    if (const HWND restarted = ui::WaitForLauncherWindowOf(installed, 1s)) {
        DWORD process = 0;
        GetWindowThreadProcessId(restarted, &process);
        WaitForProcessExit(process, 30s);
        TerminateLeftover(process);
    }
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.folder, player.Build(L"0.1.136"));
    EXPECT_EQ(game.words.back(), L"tessik://join/through-update");
    EXPECT_EQ(ReadFileBytes(installed), ReadFileBytes(NextLauncherProgram()));
    EXPECT_FALSE(fs::exists(player.Root() / L"pending-invite.txt")) << "taken once";
}

// A running executable can be renamed only within its volume, and only where
// the player may write: the hand-off keeps its backup beside the launcher,
// and a launcher that cannot replace itself skips its update and plays.
TEST(SelfUpdate, LauncherOnAnotherVolumeOrReadOnlyFolderStillGetsThePlayerIn) {
    struct Case {
        const char* where;
        fs::path launcher;
        bool replaced;
    };
    const fs::path otherVolume = fs::path(L"Y:\\") / test_bed::UniqueName(L"Games");
    const Case cases[] = {
        {"another volume", otherVolume / L"TESSIK-Launcher-Windows-x64.exe", true},
        {"read-only folder", L"R:\\TESSIK-Launcher-Windows-x64.exe", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        if (!fs::exists(c.launcher.root_path())) {
            ADD_FAILURE() << "the test bed has no drive " << c.launcher.root_path().string();
            continue;
        }
        PlayerMachine player;
        player.PublishGame("0.1.136");
        const std::wstring published =
            test_bed::UniqueName(std::to_wstring(&c - cases) + L"-TESSIK-Launcher-Windows-x64.exe");
        test_bed::Publish(published, ReadFileBytes(NextLauncherProgram()));
        player.PublishLauncherManifest("0.1.191", test_bed::ServiceAddress(L"/files/" + published),
                                       test_bed::ExpectedSha256(L"launcher-0.1.191.exe"));
        if (c.replaced) {
            fs::create_directories(c.launcher.parent_path());
            fs::copy_file(test_bed::DataFile(L"launcher-0.1.190.exe"), c.launcher);
        }
        const std::string oldBytes = ReadFileBytes(c.launcher);

        const LauncherRunOutcome first = RunLauncherToTheEnd(c.launcher, {L"tessik://join/1"});
        EXPECT_TRUE(first.ended && first.exitCode == 0 && !first.errorBox);
        if (c.replaced) {
            EXPECT_EQ(PlayWithTheRestartedLauncher(c.launcher), 0u);
            EXPECT_EQ(ReadFileBytes(c.launcher), ReadFileBytes(NextLauncherProgram()));
            EXPECT_EQ(ReadFileBytes(c.launcher.parent_path() / L"launcher-backup-0.1.190.exe"),
                      oldBytes);
        }
        EXPECT_TRUE(player.Game().ran);
        EXPECT_EQ(test_bed::RequestsContaining(published), c.replaced ? 1u : 0u);

        // The next start plays at once and downloads no launcher again.
        player.ForgetGame();
        const LauncherRunOutcome second = RunLauncherToTheEnd(c.launcher, {L"tessik://join/2"});
        EXPECT_TRUE(second.ended && second.exitCode == 0 && !second.errorBox);
        const GameRecord game = player.Game();
        ASSERT_FALSE(game.words.empty());
        EXPECT_EQ(game.words.back(), L"tessik://join/2");
        EXPECT_EQ(test_bed::RequestsContaining(published), c.replaced ? 1u : 0u);
    }
    std::error_code ignored;
    fs::remove_all(otherVolume, ignored);
}

}  // namespace

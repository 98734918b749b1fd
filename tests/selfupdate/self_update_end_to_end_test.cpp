// The whole self-update as a player sees it: an old launcher finds a newer
// one published, hands over, and the newer one ends up in its place and plays.
#include <gtest/gtest.h>

#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/player_machine.h"
#include "tests/support/ui_driver.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path NextLauncherProgram() { return test_bed::DataFile(L"launcher-0.1.191.exe"); }

TEST(SelfUpdate, OldLauncherIsReplacedByThePublishedOneWhichThenPlays) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    const std::wstring published = test_bed::UniqueName(L"TESSIK-Launcher-Windows-x64.exe");
    test_bed::Publish(published, ReadFileBytes(NextLauncherProgram()));
    player.PublishLauncherManifest("0.1.191", test_bed::ServiceAddress(L"/files/" + published),
                                   test_bed::ExpectedSha256(L"launcher-0.1.191.exe"));

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

    // The copy replaces it and starts the launcher in its old place.
    const HWND newWindow = ui::WaitForLauncherWindowOf(installed, 60s);
    ASSERT_NE(newWindow, nullptr) << "the replaced launcher did not open";
    DWORD newProcess = 0;
    GetWindowThreadProcessId(newWindow, &newProcess);
    EXPECT_EQ(ReadFileBytes(installed), ReadFileBytes(NextLauncherProgram()));
    EXPECT_NE(ReadFileBytes(installed), oldBytes);
    EXPECT_EQ(ReadFileBytes(player.Root() / L"launcher-backup-0.1.190.exe"), oldBytes);
    EXPECT_EQ(ReadFileBytes(player.Root() / L"launcher-update-0.1.191.exe"),
              ReadFileBytes(NextLauncherProgram()));

    // The new launcher finds its own version published and plays.
    ui::Click(ui::FindControl(newWindow, L"Button", L"CHECK FOR UPDATES && PLAY")->handle);
    EXPECT_EQ(WaitForProcessExit(newProcess, 60s), 0u);
    TerminateLeftover(newProcess);
    const GameRecord game = player.Game();
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.folder, player.Build(L"0.1.136"));
}

}  // namespace

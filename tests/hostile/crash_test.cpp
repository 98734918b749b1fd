// The launcher killed in mid-installation, two launchers at once, and a
// finishing copy whose old launcher never exits.
#include <gtest/gtest.h>

#include "base/scoped_handle.h"
#include "base/text.h"
#include "selfupdate/finish_launcher_update.h"
#include "store/launcher_state.h"
#include "store/storage.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/child_process.h"
#include "tests/support/ui_driver.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The staging folder of a running installation, once `reached` holds for it.
bool WaitForStage(const PlayerMachine& player, const std::function<bool(const fs::path&)>& reached,
                  std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(player.Root(), error)) {
            if (entry.path().filename().wstring().rfind(L"update-", 0) == 0 &&
                reached(entry.path())) {
                return true;
            }
        }
        Sleep(5);
    }
    return false;
}

// What a later run must always find: a state that names a startable build.
void ExpectRecordedBuildStarts(const PlayerMachine& player, const std::string& stage) {
    const LauncherState state = ReadLauncherState(player.StateFile());
    EXPECT_TRUE(fs::is_regular_file(state.path / L"tessik.exe"))
        << stage << ": state names " << Utf16ToUtf8(state.path.wstring());
}

TEST(Crash, KilledInMidInstallationLeavesARunnableMachine) {
    struct Stage {
        const char* name;
        std::function<bool(const fs::path&)> reached;
    };
    const Stage stages[] = {
        {"during the download",
         [](const fs::path& staging) {
             std::error_code e;
             return fs::file_size(staging / L"runtime.zip", e) > 0 && !e;
         }},
        {"during extraction",
         [](const fs::path& staging) { return fs::exists(staging / L"runtime"); }},
        {"just before the rename",
         [](const fs::path& staging) { return fs::exists(staging / L"runtime" / L"tessik.exe"); }},
    };
    for (const Stage& stage : stages) {
        for (const bool stored : {true, false}) {
            const std::string name =
                std::string(stage.name) + (stored ? ", with a build" : ", first run");
            PlayerMachine player(Utf8ToUtf16(name));
            if (stored) StoreWorkingBuild(player);
            const std::string stateBefore = ReadFileBytes(player.StateFile());
            // Served slowly, so that each stage lasts long enough to be caught.
            const std::wstring zip = test_bed::UniqueName(L"many.zip");
            test_bed::Publish(zip, ReadFileBytes(test_bed::DataFile(L"many.zip")));
            player.PublishGameManifest(
                test_bed::ManifestJson("0.2", test_bed::ServiceAddress(L"/slowfile/30/" + zip),
                                       test_bed::ExpectedSha256(L"many.zip")));

            ChildProcess launcher =
                ChildProcess::Start(test_bed::LauncherProgram(), {L"tessik://k"});
            const bool caught = WaitForStage(player, stage.reached, 60s);
            launcher.Terminate();  // as abrupt as kill -9: no handler runs
            EXPECT_TRUE(caught) << name << ": the stage was not reached";
            player.ForgetGame();

            // The state is the old one or the new one, never a broken one.
            const std::string stateAfter = ReadFileBytes(player.StateFile());
            if (stateAfter != stateBefore) ExpectRecordedBuildStarts(player, name);

            // The next run, with a working service, gets the player in and
            // clears what the killed run left.
            player.PublishGame("0.2", L"many.zip");
            const PlayerMachine::Outcome next = player.Run();
            EXPECT_EQ(next.started, 1u) << name << ": " << Utf16ToUtf8(next.failure);
            EXPECT_TRUE(player.Game().ran) << name;
            ExpectRecordedBuildStarts(player, name);
            EXPECT_EQ(player.Leftovers(), std::vector<std::wstring>{}) << name;
        }
    }
}

TEST(Race, TwoLaunchersInstallingTheSameVersionAtOnce) {
    PlayerMachine player;
    const std::wstring zip = test_bed::UniqueName(L"good.zip");
    test_bed::Publish(zip, ReadFileBytes(test_bed::DataFile(L"good.zip")));
    player.PublishGameManifest(
        test_bed::ManifestJson("0.2", test_bed::ServiceAddress(L"/slowfile/100/" + zip),
                               test_bed::ExpectedSha256(L"good.zip")));
    std::vector<LauncherRunOutcome> outcomes(2);
    std::thread first(
        [&] { outcomes[0] = RunLauncherToTheEnd(test_bed::LauncherProgram(), {L"tessik://a"}); });
    std::thread second(
        [&] { outcomes[1] = RunLauncherToTheEnd(test_bed::LauncherProgram(), {L"tessik://b"}); });
    first.join();
    second.join();

    int started = 0;
    for (const LauncherRunOutcome& outcome : outcomes) {
        ASSERT_TRUE(outcome.ended) << "a launcher hung";
        if (!outcome.errorBox) ++started;
    }
    EXPECT_GE(started, 1) << "at least one launcher starts the game";
    // The build is whole, and the state names it.
    EXPECT_EQ(test_bed::TreeOf(player.Build(L"0.2")),
              (std::vector<std::wstring>{L"assets", L"assets\\models", L"assets\\models\\bird.glb",
                                         L"tessik.exe"}));
    ExpectRecordedBuildStarts(player, "race");
    EXPECT_EQ(player.Leftovers(), std::vector<std::wstring>{});
}

TEST(Finish, OldLauncherThatNeverExitsIsLeftRunning) {
    PlayerMachine player;  // its own storage, so the old launcher stays idle
    const fs::path folder = player.Scratch() / L"My Games";
    fs::create_directories(folder);
    const fs::path target = folder / L"TESSIK-Launcher-Windows-x64.exe";
    const fs::path source = folder / L"launcher-update-0.1.191.exe";
    const fs::path backup = folder / L"launcher-backup-0.1.190.exe";
    fs::copy_file(test_bed::DataFile(L"launcher-0.1.190.exe"), target);
    fs::copy_file(test_bed::DataFile(L"launcher-0.1.191.exe"), source);
    const std::string oldBytes = ReadFileBytes(target);

    ChildProcess old = ChildProcess::Start(target);
    ASSERT_NE(ui::WaitForLauncherWindow(old.Id()), nullptr);
    const auto start = std::chrono::steady_clock::now();
    const int code = FinishLauncherUpdate(old.Id(), source, target, backup);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 29s);
    EXPECT_FALSE(old.WaitForExit(0ms)) << "the old launcher keeps running";

    if (code == 21) {
        // The running image could not be moved: the old launcher stays in place.
        EXPECT_EQ(ReadFileBytes(target), oldBytes);
    } else {
        // Windows (and Wine) let a running image be renamed: the old one runs
        // on from the backup name and the new one took its place.
        EXPECT_EQ(code, 0);
        EXPECT_EQ(ReadFileBytes(backup), oldBytes);
        EXPECT_EQ(ReadFileBytes(target), ReadFileBytes(source));
        const HWND restarted = ui::WaitForLauncherWindowOf(target.wstring(), 30s);
        EXPECT_NE(restarted, nullptr);
        if (restarted != nullptr) {
            DWORD id = 0;
            GetWindowThreadProcessId(restarted, &id);
            TerminateLeftover(id);
        }
    }
    std::cout << "finishing with a running old launcher ended with " << code << "\n";
}

// The window closes, and the process may end, as soon as the end of the run
// is posted: the fall-back's record must be on disk by then. A scanner holds
// the state file while the launcher runs, so that the write takes a while.
TEST(Fallback, RecordsTheStartedBuildBeforeTheLauncherCloses) {
    PlayerMachine player;
    const fs::path working = player.StoreBuild(L"0.1.136");
    // The same record with its keys the other way round: a rewrite shows in the bytes.
    std::string swapped = "{\"path\":\"";
    for (const char c : Utf16ToUtf8(working.wstring())) {
        if (c == '\\') swapped += '\\';
        swapped += c;
    }
    swapped += "\",\"version\":\"0.1.136\"}";
    WriteFileBytes(player.StateFile(), swapped);
    const std::string rewritten = FormatLauncherState(LauncherState{"0.1.136", working});
    ASSERT_NE(swapped, rewritten);
    ASSERT_EQ(ReadLauncherState(player.StateFile()).path, working);
    player.PublishGame("0.2", L"text-exe.zip");  // installs; Windows cannot start it

    KernelHandle scanner(CreateFileW(player.StateFile().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(scanner.get(), INVALID_HANDLE_VALUE);
    ChildProcess launcher =
        ChildProcess::Start(test_bed::LauncherProgram(), {L"tessik://join/fallback"});
    const GameRecord game = player.Game(60s);
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.folder, working);
    Sleep(1500);
    scanner.reset();

    EXPECT_EQ(launcher.WaitForExit(30s), 0u);
    EXPECT_EQ(ReadFileBytes(player.StateFile()), rewritten);
    EXPECT_FALSE(fs::exists(player.StateFile().wstring() + L".tmp"));
}

}  // namespace

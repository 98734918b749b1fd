#include "app/update_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "app/entry_point.h"
#include "base/process_values.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "store/launcher_state.h"
#include "store/storage.h"
#include "tests/support/game_record.h"
#include "tests/support/message_collector.h"
#include "tests/support/player_machine.h"
#include "tests/support/process_seam.h"
#include "tests/support/registry.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

const std::wstring CheckingLauncher = L"Checking launcher version...";
const std::wstring CheckingUpdates = L"Checking for updates...";
const std::wstring Downloading = L"Downloading into TESSIK storage...";
const std::wstring Installing = L"Installing verified update...";
const std::wstring Starting = L"Starting TESSIK...";
const std::wstring Fallback = L"Update unavailable; starting installed version...";
const std::wstring RestartingLauncher = L"Restarting updated launcher...";

std::string EscapedPath(const fs::path& path) {
    std::string escaped;
    for (const char c : Utf16ToUtf8(path.wstring())) {
        if (c == '\\') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

TEST(UpdateWorker, FirstRunInstallsRecordsRegistersAndStartsTheGame) {
    PlayerMachine player;
    DeleteUserRegistryTree(L"Software\\Classes\\tessik");
    inviteLink.Set(L"tessik://join?room=Big Room&who=\"Zo\u00EB\"");
    player.PublishGame("0.1.136");

    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.statuses, (std::vector<std::wstring>{CheckingLauncher, CheckingUpdates,
                                                       Downloading, Installing, Starting}));
    EXPECT_EQ(run.started, 1u);

    const fs::path build = player.Build(L"0.1.136");
    EXPECT_TRUE(fs::is_regular_file(build / L"tessik.exe"));
    EXPECT_EQ(ReadFileBytes(player.StateFile()),
              "{\"version\":\"0.1.136\",\"path\":\"" + EscapedPath(build) + "\"}");
    EXPECT_TRUE(player.Leftovers().empty());

    const std::wstring key = L"Software\\Classes\\tessik";
    const std::wstring quoted = L"\"" + launcherExecutablePath + L"\"";
    EXPECT_EQ(ReadUserRegistryString(key, L""), L"URL:TESSIK Invite");
    EXPECT_EQ(ReadUserRegistryString(key, L"URL Protocol"), L"");
    EXPECT_EQ(ReadUserRegistryString(key + L"\\DefaultIcon", L""), quoted + L",0");
    EXPECT_EQ(ReadUserRegistryString(key + L"\\shell\\open\\command", L""), quoted + L" \"%1\"");

    const GameRecord game = player.Game();
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.words,
              (std::vector<std::wstring>{(build / L"tessik.exe").wstring(), inviteLink.Get()}));
    EXPECT_EQ(game.folder, build);
}

TEST(UpdateWorker, SameVersionAgainStartsWithoutDownloading) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    player.Run();
    const std::string state = ReadFileBytes(player.StateFile());
    const std::wstring archive = test_bed::UniqueName(L"game-good.zip");
    EXPECT_EQ(test_bed::RequestsContaining(archive), 1u);

    const PlayerMachine::Outcome again = player.Run();
    EXPECT_EQ(again.statuses,
              (std::vector<std::wstring>{CheckingLauncher, CheckingUpdates, Starting}));
    EXPECT_EQ(again.started, 1u);
    EXPECT_EQ(test_bed::RequestsContaining(archive), 1u);
    EXPECT_EQ(ReadFileBytes(player.StateFile()), state);
    const GameRecord game = player.Game();
    EXPECT_EQ(game.words,
              std::vector<std::wstring>{(player.Build(L"0.1.136") / L"tessik.exe").wstring()});
}

TEST(UpdateWorker, LowerVersionIsInstalledLikeAHigherOne) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    player.Run();
    player.PublishGame("0.1.99");
    EXPECT_EQ(player.Run().statuses,
              (std::vector<std::wstring>{CheckingLauncher, CheckingUpdates, Downloading, Installing,
                                         Starting}));
    const LauncherState state = ReadLauncherState(player.StateFile());
    EXPECT_EQ(state.version, "0.1.99");
    EXPECT_EQ(state.path, player.Build(L"0.1.99"));
    EXPECT_TRUE(fs::is_regular_file(player.Build(L"0.1.136") / L"tessik.exe"));
    EXPECT_EQ(player.Game().folder, player.Build(L"0.1.99"));
}

TEST(UpdateWorker, BuildThatLostItsExecutableIsInstalledAfresh) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    player.Run();
    ASSERT_TRUE(player.Game().ran);
    // The stand-in may still be exiting, and Windows keeps a running image locked.
    const fs::path executable = player.Build(L"0.1.136") / L"tessik.exe";
    for (int attempt = 0; attempt < 100 && fs::exists(executable); ++attempt) {
        std::error_code busy;
        if (!fs::remove(executable, busy)) Sleep(100);
    }
    ASSERT_FALSE(fs::exists(executable));
    EXPECT_EQ(player.Run().statuses,
              (std::vector<std::wstring>{CheckingLauncher, CheckingUpdates, Downloading, Installing,
                                         Starting}));
    EXPECT_TRUE(fs::is_regular_file(player.Build(L"0.1.136") / L"tessik.exe"));
    EXPECT_TRUE(player.Game().ran);

    // Removed again, as Windows security removes a file it distrusts: a
    // further download would meet the same scanner. The cause is named.
    const std::string state = ReadFileBytes(player.StateFile());
    for (int attempt = 0; attempt < 100 && fs::exists(executable); ++attempt) {
        std::error_code busy;
        if (!fs::remove(executable, busy)) Sleep(100);
    }
    for (int run = 0; run < 2; ++run) {
        const PlayerMachine::Outcome refused = player.Run();
        EXPECT_EQ(std::count(refused.statuses.begin(), refused.statuses.end(), Downloading), 0);
        EXPECT_EQ(refused.started, 0u);
        EXPECT_EQ(refused.failure, L"Windows security blocked or removed tessik.exe");
        EXPECT_EQ(ReadFileBytes(player.StateFile()), state);
    }
}

// Where Wine starts anything, Windows refuses: a game that must run elevated
// goes through the shell (which asks the player), one that Windows security
// blocks is named as such.
TEST(UpdateWorker, GameStartsThatWindowsRefusesAreElevatedOrNamed) {
    struct Case {
        DWORD error;
        bool starts;
    };
    for (const Case c : {Case{740, true}, Case{225, false}, Case{226, false}}) {
        SCOPED_TRACE(c.error);
        PlayerMachine player;
        player.PublishGame("0.1.136");
        process_seam::RefuseStarting(L"\\0.1.136\\tessik.exe", c.error);
        inviteLink.Set(L"tessik://join/refused");
        const PlayerMachine::Outcome run = player.Run();
        const int refusals = process_seam::RefusedStarts();
        process_seam::Reset();
        EXPECT_GE(refusals, 1);
        EXPECT_EQ(run.started, c.starts ? 1u : 0u);
        const GameRecord game = player.Game(std::chrono::milliseconds(c.starts ? 10000 : 500));
        EXPECT_EQ(game.ran, c.starts);
        if (c.starts) {
            EXPECT_EQ(game.folder, player.Build(L"0.1.136"));
            EXPECT_EQ(game.words.back(), L"tessik://join/refused");
        } else {
            EXPECT_EQ(run.failure, L"Windows security blocked or removed tessik.exe");
        }
    }
}

struct FailureCase {
    const char* what;
    std::function<void(PlayerMachine&)> arrange;
    std::string message;
};

std::vector<FailureCase> FailureCases() {
    return {
        {"service unreachable",
         [](PlayerMachine& p) { p.PointGameManifestAt(L"https://localhost:1/manifest.json"); },
         "The update service could not be reached"},
        {"manifest address not https",
         [](PlayerMachine& p) { p.PointGameManifestAt(L"http://localhost/manifest.json"); },
         "The update URL is invalid or insecure"},
        {"manifest invalid",
         [](PlayerMachine& p) { p.PublishGameManifest("{\"version\":\"0.2\"}"); },
         "The update manifest is missing url"},
        {"digest wrong",
         [](PlayerMachine& p) { p.PublishGame("0.2", L"good.zip", std::string(64, 'b')); },
         "Downloaded update failed its SHA-256 check"},
        {"archive unsafe", [](PlayerMachine& p) { p.PublishGame("0.2", L"parent.zip"); },
         "The update archive contains an unsafe path"},
        {"archive without game", [](PlayerMachine& p) { p.PublishGame("0.2", L"nested-exe.zip"); },
         "The update archive is missing tessik.exe"},
        {"version unsafe", [](PlayerMachine& p) { p.PublishGame("..", L"good.zip"); },
         "The update manifest names an unsafe version"},
        {"download cut",
         [](PlayerMachine& p) {
             p.PublishGameManifest(test_bed::ManifestJson(
                 "0.2", test_bed::ServiceAddress(L"/cut/5000/runtime.zip"), std::string(64, 'c')));
         },
         "The update download was interrupted"},
    };
}

TEST(UpdateWorker, FailuresStartTheStoredBuildInstead) {
    for (const FailureCase& c : FailureCases()) {
        PlayerMachine player(Utf8ToUtf16(c.what));
        player.PublishGame("0.1.136");
        player.Run();
        const std::string state = ReadFileBytes(player.StateFile());

        c.arrange(player);
        const PlayerMachine::Outcome run = player.Run();
        EXPECT_EQ(run.started, 1u) << c.what;
        ASSERT_FALSE(run.statuses.empty()) << c.what;
        EXPECT_EQ(run.statuses.back(), Fallback) << c.what;
        EXPECT_EQ(player.Game().folder, player.Build(L"0.1.136")) << c.what;
        EXPECT_EQ(ReadFileBytes(player.StateFile()), state) << c.what;
        EXPECT_TRUE(player.Leftovers().empty()) << c.what;
    }
}

TEST(UpdateWorker, FailuresWithoutAStoredBuildAreReported) {
    for (const FailureCase& c : FailureCases()) {
        PlayerMachine player(Utf8ToUtf16(c.what));
        c.arrange(player);
        const PlayerMachine::Outcome run = player.Run();
        EXPECT_EQ(run.started, 0u) << c.what;
        EXPECT_EQ(run.failure, Utf8ToUtf16(c.message)) << c.what;
        EXPECT_EQ(std::count(run.statuses.begin(), run.statuses.end(), Fallback), 0) << c.what;
        EXPECT_FALSE(fs::exists(player.StateFile())) << c.what;
        EXPECT_TRUE(player.Leftovers().empty()) << c.what;
        EXPECT_FALSE(player.Game(std::chrono::milliseconds(200)).ran) << c.what;
    }
}

// An empty recorded folder must not make the fall-back start a tessik.exe
// that happens to lie in the current folder.
TEST(UpdateWorker, FallbackNeverStartsAGameFromTheCurrentFolder) {
    PlayerMachine player;
    const fs::path downloads = player.Scratch() / L"Downloads";
    fs::create_directories(downloads);
    fs::copy_file(test_bed::SupportProgram(L"game_standin.exe"), downloads / L"tessik.exe");
    const fs::path previous = fs::current_path();
    fs::current_path(downloads);
    player.PointGameManifestAt(L"https://localhost:1/manifest.json");
    const PlayerMachine::Outcome run = player.Run();
    fs::current_path(previous);
    EXPECT_EQ(run.started, 0u);
    EXPECT_EQ(run.failure, L"The update service could not be reached");
    EXPECT_FALSE(player.Game(std::chrono::milliseconds(500)).ran);
}

TEST(UpdateWorker, FailedGameStartAfterInstallTriesTheNewBuildThenReports) {
    PlayerMachine player;
    // The archive's tessik.exe is text: the install succeeds, Windows cannot start it.
    player.PublishGame("0.2", L"text-exe.zip");
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.statuses,
              (std::vector<std::wstring>{CheckingLauncher, CheckingUpdates, Downloading, Installing,
                                         Starting, Fallback}));
    EXPECT_EQ(run.started, 0u);
    EXPECT_EQ(run.failure, L"Windows could not start TESSIK");
    EXPECT_EQ(ReadLauncherState(player.StateFile()).version, "0.2");
}

TEST(UpdateWorker, NewBuildThatWillNotStartFallsBackToThePreviousOne) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    player.Run();
    const std::string working = ReadFileBytes(player.StateFile());

    player.PublishGame("0.2", L"text-exe.zip");
    for (int run = 0; run < 2; ++run) {  // and again on the next start
        const PlayerMachine::Outcome outcome = player.Run();
        ASSERT_FALSE(outcome.statuses.empty());
        EXPECT_EQ(outcome.statuses.back(), Fallback);
        EXPECT_EQ(std::count(outcome.statuses.begin(), outcome.statuses.end(), Fallback), 1);
        EXPECT_EQ(outcome.started, 1u);
        EXPECT_EQ(player.Game().folder, player.Build(L"0.1.136"));
        EXPECT_EQ(ReadFileBytes(player.StateFile()), working)
            << "the working build is recorded again";
    }
}

TEST(UpdateWorker, LauncherCheckFailuresAreNeverShown) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    for (const std::wstring& address :
         {test_bed::ServiceAddress(L"/status/404/launcher.json"),
          std::wstring(L"http://insecure/x"), std::wstring(L"https://localhost:1/down.json")}) {
        player.PointLauncherManifestAt(address);
        const PlayerMachine::Outcome run = player.Run();
        EXPECT_EQ(run.started, 1u);
        ASSERT_GE(run.statuses.size(), 2u);
        EXPECT_EQ(run.statuses[0], CheckingLauncher);
        EXPECT_EQ(run.statuses[1], CheckingUpdates);
        EXPECT_TRUE(player.Game().ran);
    }
    // A published launcher whose download fails its digest: still only the game.
    player.PublishLauncherManifest("0.1.191", test_bed::ServiceAddress(L"/size/100/l.exe"),
                                   std::string(64, 'd'));
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.statuses,
              (std::vector<std::wstring>{CheckingLauncher, L"Downloading launcher update...",
                                         CheckingUpdates, Starting}));
    EXPECT_FALSE(fs::exists(player.Root() / L"launcher-update-0.1.191.exe"));
}

TEST(UpdateWorker, PublishedLauncherIsHandedOverAndTheRunEnds) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    const std::wstring binary = test_bed::UniqueName(L"new-launcher.exe");
    test_bed::Publish(binary, ReadFileBytes(test_bed::SupportProgram(L"game_standin.exe")));
    player.PublishLauncherManifest("0.1.191", test_bed::ServiceAddress(L"/files/" + binary),
                                   test_bed::ExpectedSha256(L"game_standin.exe"));
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.statuses,
              (std::vector<std::wstring>{CheckingLauncher, L"Downloading launcher update...",
                                         RestartingLauncher}));
    EXPECT_EQ(run.started, 1u);
    const GameRecord copy = player.Game();
    ASSERT_TRUE(copy.ran);
    ASSERT_EQ(copy.words.size(), 6u);
    EXPECT_EQ(copy.words[1], L"--finish-launcher-update");
    EXPECT_EQ(copy.words[4], launcherExecutablePath);
    EXPECT_EQ(copy.folder, player.Root());
    // The game update did not run.
    EXPECT_FALSE(fs::exists(player.Root() / L"versions"));
}

TEST(UpdateWorker, NoApplicationDataFolderIsReportedLikeAnyFailure) {
    PlayerMachine player;
    ScopedVariable appData(L"APPDATA", L"");
    ScopedVariable localAppData(L"LOCALAPPDATA", std::nullopt);
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 0u);
    EXPECT_EQ(run.failure, L"Windows did not provide an application-data folder");
    EXPECT_TRUE(run.statuses.empty());
}

TEST(UpdateWorker, EmptyManifestVariableMeansTheDefaultAddress) {
    ScopedVariable empty(L"TESSIK_UPDATE_MANIFEST", L"");
    // The build's update host, as CMake gave it to this test program.
    EXPECT_EQ(Utf16ToUtf8(GameManifestAddress()),
              "https://" TESSIK_TEST_UPDATE_HOST "/release/windows-x86_64-manifest.json");
    ScopedVariable set(L"TESSIK_UPDATE_MANIFEST", L"https://localhost:9/m.json");
    EXPECT_EQ(GameManifestAddress(), L"https://localhost:9/m.json");
}

}  // namespace

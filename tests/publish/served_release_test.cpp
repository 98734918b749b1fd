// What the release tool publishes, served by nginx, used by the real launcher.
#include <gtest/gtest.h>

#include <sstream>

#include "base/text.h"
#include "service/digest.h"
#include "service/update_manifest.h"
#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/launcher_run.h"
#include "tests/support/player_machine.h"
#include "tests/support/ui_driver.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::wstring NginxAddress(const std::wstring& path) {
    std::string port = ReadFileBytes(test_bed::Folder() / L"nginx" / L"port");
    port.erase(port.find_last_not_of("\r\n") + 1);
    return L"https://localhost:" + Utf8ToUtf16(port) + path;
}

const std::wstring GameManifest = L"/release/windows-x86_64-manifest.json";
const std::wstring LauncherManifest = L"/release/windows-launcher-x86_64-manifest.json";

std::vector<std::string> AccessLog() {
    std::istringstream in(ReadFileBytes(test_bed::Folder() / L"nginx" / L"access.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool LauncherFetched(const std::vector<std::string>& log, const std::string& path) {
    for (const std::string& line : log) {
        if (line.find("GET " + path) != std::string::npos &&
            line.find("\" 200 ") != std::string::npos &&
            line.find("TessikLauncher/2 (native Windows)") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(ServedRelease, ProbeAcceptsThePublishedManifest) {
    PlayerMachine player;
    player.PointGameManifestAt(NginxAddress(GameManifest));
    ChildProcess probe = ChildProcess::Start(test_bed::LauncherProgram(), {L"--probe-manifest"});
    EXPECT_EQ(probe.WaitForExit(), 0u);
    EXPECT_TRUE(LauncherFetched(AccessLog(), Utf16ToUtf8(GameManifest)));
}

TEST(ServedRelease, AnUpdateRunInstallsThePublishedBuild) {
    PlayerMachine player;
    player.PointGameManifestAt(NginxAddress(GameManifest));
    player.PointLauncherManifestAt(NginxAddress(LauncherManifest));
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    EXPECT_EQ(
        std::count(run.statuses.begin(), run.statuses.end(), L"Downloading launcher update..."), 0)
        << "the published launcher is this one";
    EXPECT_EQ(player.Game().folder, player.Build(L"1.0.0"));
    EXPECT_EQ(ReadFileBytes(player.Build(L"1.0.0") / L"tessik.exe"),
              ReadFileBytes(test_bed::DataFile(L"game_standin.exe")));
    const std::vector<std::string> log = AccessLog();
    EXPECT_TRUE(LauncherFetched(log, Utf16ToUtf8(LauncherManifest)));
    EXPECT_TRUE(LauncherFetched(
        log, "/builds/tessik-1.0.0-" + test_bed::ExpectedSha256(L"good.zip") + ".zip"));
}

// Releases the set-up published with the tool onto the HTTPS test service.
const std::wstring EncodedVersion = L"1.0 #x%41";
std::wstring ServiceRelease(const std::wstring& release, const std::wstring& manifest) {
    return test_bed::ServiceAddress(L"/files/" + release + manifest);
}

TEST(ServedRelease, TheLaunchersReaderTakesEveryManifestTheToolWrote) {
    struct Case {
        fs::path file;
        const char* executable;
        std::wstring version;
        std::string sha256;
        std::wstring url;  // empty: not checked
    };
    const fs::path bed = test_bed::Folder();
    const std::string good = test_bed::ExpectedSha256(L"good.zip");
    const std::string signedLauncher = Sha256FileHex(bed / L"publish" / L"signed-launcher.exe");
    const Case cases[] = {
        {bed / L"release" / GameManifest.substr(1), "tessik.exe", L"1.0.0", good, L""},
        {bed / L"release" / LauncherManifest.substr(1), "TESSIK-Launcher-Windows-x64.exe",
         L"0.1.190", test_bed::ExpectedSha256(L"launcher-0.1.190.exe"), L""},
        {bed / L"www" / L"encoded" / GameManifest.substr(1), "tessik.exe", EncodedVersion, good,
         ServiceRelease(L"encoded",
                        L"/builds/tessik-1.0%20%23x%2541-" + Utf8ToUtf16(good) + L".zip")},
        {bed / L"www" / L"signed" / LauncherManifest.substr(1), "TESSIK-Launcher-Windows-x64.exe",
         L"0.1.191", signedLauncher, L""},
    };
    for (const Case& c : cases) {
        const UpdateManifest m = ParseUpdateManifest(ReadFileBytes(c.file), c.executable);
        EXPECT_EQ(Utf8ToUtf16(m.version), c.version) << c.file;
        EXPECT_EQ(m.sha256, c.sha256) << c.file;
        if (!c.url.empty()) {
            EXPECT_EQ(m.url, c.url);
        }
    }
}

TEST(ServedRelease, AVersionThatNeedsEncodingDownloadsAndInstalls) {
    PlayerMachine player;
    player.PointGameManifestAt(ServiceRelease(L"encoded", GameManifest));
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    EXPECT_EQ(player.Game().folder, player.Build(EncodedVersion));
}

// Signed before it was published, so the published digest is the signed
// file's: the old launcher hands over to it and it then plays.
TEST(ServedRelease, ASignedLauncherPublishedByTheToolReplacesTheOldOne) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    player.PointLauncherManifestAt(ServiceRelease(L"signed", LauncherManifest));
    const std::string signedBytes =
        ReadFileBytes(test_bed::Folder() / L"publish" / L"signed-launcher.exe");
    const fs::path installed = player.Scratch() / L"My Games" / L"TESSIK-Launcher-Windows-x64.exe";
    fs::create_directories(installed.parent_path());
    fs::copy_file(test_bed::DataFile(L"launcher-0.1.190.exe"), installed);

    ChildProcess old = ChildProcess::Start(installed);
    const HWND oldWindow = ui::WaitForLauncherWindow(old.Id());
    ASSERT_NE(oldWindow, nullptr);
    ui::Click(ui::FindControl(oldWindow, L"Button", L"CHECK FOR UPDATES && PLAY")->handle);
    EXPECT_EQ(old.WaitForExit(), 0u);
    EXPECT_EQ(PlayWithTheRestartedLauncher(installed), 0u)
        << "the signed launcher did not play in the old one's place";
    EXPECT_EQ(ReadFileBytes(installed), signedBytes);
    const GameRecord game = player.Game();
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.folder, player.Build(L"0.1.136"));
}

}  // namespace

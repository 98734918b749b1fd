// What the release tool publishes, served by nginx, used by the real launcher.
#include <gtest/gtest.h>

#include <sstream>

#include "base/text.h"
#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/player_machine.h"

namespace {

namespace fs = std::filesystem;

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

}  // namespace

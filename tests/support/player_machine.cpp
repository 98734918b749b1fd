#include "tests/support/player_machine.h"

#include <gtest/gtest.h>

#include "base/process_values.h"
#include "base/worker_messages.h"
#include "build_config.h"
#include "store/launcher_state.h"
#include "store/storage.h"
#include "tests/support/message_collector.h"

namespace fs = std::filesystem;

PlayerMachine::PlayerMachine(const std::wstring& name)
    : scratch_(test_bed::FreshScratchFolder(name)),
      appData_(scratch_ / L"Users" / L"Zo\u00EB Player" / L"AppData"),
      record_(scratch_ / L"game-record.txt"),
      appDataVariable_(L"APPDATA", appData_.wstring()),
      recordVariable_(L"TESSIK_GAME_RECORD", record_.wstring()) {
    // Windows always has the application-data folder; the launcher's own
    // folders inside it are its to make.
    fs::create_directories(appData_);
    launcherExecutablePath = test_bed::LauncherProgram().wstring();
    PublishLauncherManifest(LauncherVersion);
}

PlayerMachine::~PlayerMachine() {
    inviteLink.clear();
    launcherExecutablePath.clear();
}

fs::path PlayerMachine::Root() const { return appData_ / L"Tessik" / L"launcher"; }
fs::path PlayerMachine::StateFile() const { return Root() / StateFileName; }
fs::path PlayerMachine::Build(const std::wstring& version) const {
    return Root() / L"versions" / version;
}

void PlayerMachine::PublishGame(const std::string& version, const std::wstring& archive,
                                const std::string& sha256) {
    const std::wstring zip = test_bed::UniqueName(L"game-" + archive);
    test_bed::Publish(zip, ReadFileBytes(test_bed::DataFile(archive)));
    PublishGameManifest(
        test_bed::ManifestJson(version, test_bed::ServiceAddress(L"/files/" + zip),
                               sha256.empty() ? test_bed::ExpectedSha256(archive) : sha256));
}

void PlayerMachine::PublishGameManifest(const std::string& json) {
    const std::wstring name = test_bed::UniqueName(std::to_wstring(++published_) + L".json");
    test_bed::Publish(name, json);
    gameManifestPath_ = L"/files/" + name;
    PointGameManifestAt(test_bed::ServiceAddress(gameManifestPath_));
}

void PlayerMachine::PointGameManifestAt(const std::wstring& address) {
    gameManifest_.reset();
    gameManifest_.emplace(L"TESSIK_UPDATE_MANIFEST", address);
}

void PlayerMachine::DelayGameManifest(int milliseconds) {
    PointGameManifestAt(
        test_bed::ServiceAddress(L"/delay/" + std::to_wstring(milliseconds) + gameManifestPath_));
}

void PlayerMachine::PublishLauncherManifest(const std::string& version, const std::wstring& url,
                                            const std::string& sha256) {
    const std::wstring name = test_bed::UniqueName(L"launcher.json");
    test_bed::Publish(
        name, test_bed::ManifestJson(version, url.empty() ? L"https://localhost/unused.exe" : url,
                                     sha256, "TESSIK-Launcher-Windows-x64.exe"));
    PointLauncherManifestAt(test_bed::ServiceAddress(L"/files/" + name));
}

void PlayerMachine::PointLauncherManifestAt(const std::wstring& address) {
    launcherManifest_.reset();
    launcherManifest_.emplace(L"TESSIK_LAUNCHER_UPDATE_MANIFEST", address);
}

fs::path PlayerMachine::StoreBuild(const std::wstring& version, const std::string& content) {
    const fs::path build = Build(version);
    fs::create_directories(build);
    if (content.empty()) {
        fs::copy_file(test_bed::SupportProgram(L"game_standin.exe"), build / L"tessik.exe",
                      fs::copy_options::overwrite_existing);
    } else {
        WriteFileBytes(build / L"tessik.exe", content);
    }
    return build;
}

PlayerMachine::Outcome PlayerMachine::Run() {
    ForgetGame();
    MessageCollector collector;
    Outcome outcome;
    for (const MessageCollector::Message& m : RunWorkerAndCollect(collector)) {
        if (const auto view = TaskbarViewAfter(m.id, m.wParam, m.lParam)) {
            outcome.taskbar.push_back(*view);
        }
        if (m.id == WM_LAUNCHER_PROGRESS) {
            EXPECT_EQ(outcome.ends, 0u) << "progress after the end of the run";
        } else if (m.id == WM_LAUNCHER_STATUS) {
            EXPECT_EQ(outcome.ends, 0u) << "a status after the end of the run";
            outcome.statuses.push_back(m.text);
        } else {
            ++outcome.ends;
            outcome.started = m.wParam;
            outcome.failure = m.text;
            EXPECT_EQ(m.hasText, m.wParam == 0) << "a failure carries its text, a start none";
        }
    }
    EXPECT_EQ(outcome.ends, 1u) << "exactly one end of run";
    return outcome;
}

GameRecord PlayerMachine::Game(std::chrono::milliseconds timeout) const {
    return ReadGameRecord(record_, timeout);
}

void PlayerMachine::ForgetGame() const {
    std::error_code ignored;
    fs::remove(record_, ignored);
}

std::vector<std::wstring> PlayerMachine::Leftovers() const {
    std::vector<std::wstring> left;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(Root(), error)) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.rfind(L"update-", 0) == 0 || name == L"current-windows.json.tmp") {
            left.push_back(name);
        }
    }
    return left;
}

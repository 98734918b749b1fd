#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/taskbar_progress.h"
#include "tests/support/game_record.h"
#include "tests/support/test_bed.h"

// One player's machine: a fresh application-data folder (with a blank and
// non-ASCII text in its path), the service's manifests, and a game stand-in
// that records how it was started. The variables it sets are inherited by a
// launcher the test starts.
class PlayerMachine {
  public:
    struct Outcome {
        std::vector<std::wstring> statuses;
        size_t ends = 0;
        WPARAM started = 0;    // wParam of the end of the run
        std::wstring failure;  // its text, when it failed
        // What the taskbar button showed after each message that changed it.
        std::vector<TaskbarView> taskbar;
    };

    explicit PlayerMachine(const std::wstring& name = L"");
    ~PlayerMachine();

    std::filesystem::path Root() const;
    std::filesystem::path StateFile() const;
    std::filesystem::path Build(const std::wstring& version) const;
    const std::filesystem::path& Scratch() const { return scratch_; }
    const std::filesystem::path& AppData() const { return appData_; }
    const std::filesystem::path& RecordFile() const { return record_; }

    // Publishes a game build from a test archive and points the launcher at it.
    void PublishGame(const std::string& version, const std::wstring& archive = L"good.zip",
                     const std::string& sha256 = "");
    void PublishGameManifest(const std::string& json);
    void PointGameManifestAt(const std::wstring& address);
    // The manifest address as last set, served through /delay/<ms>.
    void DelayGameManifest(int milliseconds);

    void PublishLauncherManifest(const std::string& version, const std::wstring& url = L"",
                                 const std::string& sha256 = std::string(64, 'a'));
    void PointLauncherManifestAt(const std::wstring& address);

    // A build stored as if installed: the game stand-in (or `content`) as tessik.exe.
    std::filesystem::path StoreBuild(const std::wstring& version, const std::string& content = "");

    // Runs one update on a thread of its own, in this process, and sorts out
    // what it posted.
    Outcome Run();

    GameRecord Game(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    void ForgetGame() const;

    // Staging folders and temporary state files left in the storage root.
    std::vector<std::wstring> Leftovers() const;

  private:
    std::filesystem::path scratch_;
    std::filesystem::path appData_;
    std::filesystem::path record_;
    ScopedVariable appDataVariable_;
    ScopedVariable recordVariable_;
    std::optional<ScopedVariable> gameManifest_;
    std::optional<ScopedVariable> launcherManifest_;
    std::wstring gameManifestPath_;
    int published_ = 0;
};

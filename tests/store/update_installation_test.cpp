#include "store/update_installation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include <aclapi.h>
#include <sddl.h>

#include "base/scoped_handle.h"
#include "base/text.h"
#include "service/digest.h"
#include "store/archive.h"
#include "store/installation_lock.h"
#include "store/launcher_state.h"
#include "store/partial_download.h"
#include "store/retrying_move.h"
#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/file_seam.h"
#include "tests/support/message_collector.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

// The manifest of a build published from one of the test archives.
UpdateManifest Published(const std::string& version, const std::wstring& archive,
                         const std::string& sha256 = "") {
    const std::wstring name = test_bed::UniqueName(archive);
    test_bed::Publish(name, ReadFileBytes(test_bed::DataFile(archive)));
    UpdateManifest manifest;
    manifest.version = version;
    manifest.url = test_bed::ServiceAddress(L"/files/" + name);
    manifest.sha256 = sha256.empty() ? test_bed::ExpectedSha256(archive) : sha256;
    manifest.executable = "tessik.exe";
    return manifest;
}

size_t RequestsFor(const std::wstring& archive) {
    return test_bed::RequestsContaining(test_bed::UniqueName(archive));
}

// Everything in the storage root apart from the installed builds.
std::vector<std::wstring> StagingLeftovers(const fs::path& root) {
    std::vector<std::wstring> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
        if (entry.path().filename() != L"versions")
            left.push_back(entry.path().filename().wstring());
    }
    return left;
}

TEST(StagingFolderName, IsUpdatePidTicks) {
    EXPECT_EQ(StagingFolderName(4242, 1234567890123ull), L"update-4242-1234567890123");
    EXPECT_EQ(StagingFolderName(0, 0), L"update-0-0");
}

TEST(StagingFolderProcessId, ReadsOnlyStagingNames) {
    EXPECT_EQ(StagingFolderProcessId(L"update-4242-1234567890123"), 4242u);
    EXPECT_EQ(StagingFolderProcessId(L"update-0-0"), 0u);
    EXPECT_EQ(StagingFolderProcessId(L"update-4294967295-1"), 4294967295u);
    for (const wchar_t* other : {L"update-4294967296-1", L"update-12", L"update--1", L"update-1-",
                                 L"update-a-1", L"update-1-2-3", L"updates", L"versions",
                                 L"update-+1-2", L"launcher-update-0.1.191.exe"}) {
        EXPECT_FALSE(StagingFolderProcessId(other)) << Utf16ToUtf8(other);
    }
}

TEST(RemoveStaleStagingFolders, RemovesOnlyFoldersOfEndedLaunchers) {
    const fs::path root = test_bed::FreshScratchFolder();
    // A process that has ended, and one that is still running.
    ChildProcess ended = ChildProcess::Start(test_bed::SupportProgram(L"game_standin.exe"));
    ASSERT_TRUE(ended.WaitForExit());
    ScopedVariable sleep(L"TESSIK_STANDIN_SLEEP_MS", L"20000");
    ChildProcess running = ChildProcess::Start(test_bed::SupportProgram(L"game_standin.exe"));

    const auto staging = [&](DWORD id) { return L"update-" + std::to_wstring(id) + L"-77"; };
    for (const std::wstring& name :
         {staging(ended.Id()), staging(running.Id()), staging(GetCurrentProcessId()),
          std::wstring(L"update-x-1"), std::wstring(L"versions")}) {
        fs::create_directories(root / name / L"runtime");
        WriteFileBytes(root / name / L"runtime.zip", "partial");
    }
    RemoveStaleStagingFolders(root);
    EXPECT_FALSE(fs::exists(root / staging(ended.Id())));
    EXPECT_TRUE(fs::exists(root / staging(running.Id()) / L"runtime.zip"));
    EXPECT_TRUE(fs::exists(root / staging(GetCurrentProcessId()) / L"runtime.zip"));
    EXPECT_TRUE(fs::exists(root / L"update-x-1"));
    EXPECT_TRUE(fs::exists(root / L"versions"));
}

TEST(InstallUpdate, InstallsAVerifiedBuildAndRemovesStaging) {
    MessageCollector collector;
    const fs::path root = test_bed::FreshScratchFolder(L" root");
    const fs::path build = InstallUpdate(Published("0.1.136", L"good.zip"), root);

    EXPECT_EQ(build, root / L"versions" / L"0.1.136");
    EXPECT_EQ(test_bed::TreeOf(build),
              (std::vector<std::wstring>{L"assets", L"assets\\models", L"assets\\models\\bird.glb",
                                         L"tessik.exe"}));
    EXPECT_EQ(ReadFileBytes(build / L"tessik.exe"),
              ReadFileBytes(test_bed::SupportProgram(L"game_standin.exe")));
    EXPECT_TRUE(StagingLeftovers(root).empty());
    EXPECT_EQ(collector.Statuses(),
              (std::vector<std::wstring>{L"Downloading into TESSIK storage...",
                                         L"Installing verified update..."}));
}

TEST(InstallUpdate, AnInstalledBuildIsReturnedUntouched) {
    const fs::path root = test_bed::FreshScratchFolder();
    const fs::path build = root / L"versions" / L"0.1.136";
    fs::create_directories(build);
    WriteFileBytes(build / L"tessik.exe", "already here");
    WriteFileBytes(build / L"save.dat", "player data");

    MessageCollector collector;
    EXPECT_EQ(InstallUpdate(Published("0.1.136", L"good.zip"), root), build);
    EXPECT_EQ(RequestsFor(L"good.zip"), 0u);
    EXPECT_TRUE(collector.Statuses().empty());
    EXPECT_EQ(ReadFileBytes(build / L"tessik.exe"), "already here");
    EXPECT_EQ(ReadFileBytes(build / L"save.dat"), "player data");
    EXPECT_TRUE(StagingLeftovers(root).empty());
}

TEST(InstallUpdate, ABrokenBuildIsReplacedWhole) {
    const fs::path root = test_bed::FreshScratchFolder();
    const fs::path build = root / L"versions" / L"0.1.136";
    fs::create_directories(build / L"old");
    WriteFileBytes(build / L"old" / L"leftover.bin", "x");

    MessageCollector collector;
    InstallUpdate(Published("0.1.136", L"good.zip"), root);
    EXPECT_EQ(test_bed::TreeOf(build),
              (std::vector<std::wstring>{L"assets", L"assets\\models", L"assets\\models\\bird.glb",
                                         L"tessik.exe"}));

    // A plain file in the build's place goes the same way.
    const fs::path other = root / L"versions" / L"2.0";
    WriteFileBytes(other, "not a folder");
    InstallUpdate(Published("2.0", L"good.zip"), root);
    EXPECT_TRUE(fs::is_regular_file(other / L"tessik.exe"));
}

TEST(InstallUpdate, FailuresLeaveNoStagingAndNoBuild) {
    struct Case {
        const char* what;
        std::wstring archive;
        std::string sha256;
        bool breakUrl;
        std::string message;
        std::vector<std::wstring> statuses;
    };
    const std::wstring downloading = L"Downloading into TESSIK storage...";
    const std::wstring installing = L"Installing verified update...";
    const Case cases[] = {
        {"digest differs",
         L"good.zip",
         std::string(64, 'a'),
         false,
         "Downloaded update failed its SHA-256 check",
         {downloading}},
        {"unsafe archive",
         L"parent.zip",
         "",
         false,
         "The update archive contains an unsafe path",
         {downloading, installing}},
        {"no executable",
         L"nested-exe.zip",
         "",
         false,
         "The update archive is missing tessik.exe",
         {downloading, installing}},
        {"damaged archive",
         L"truncated.zip",
         "",
         false,
         "The update archive is not a readable zip",
         {downloading, installing}},
        {"download fails",
         L"good.zip",
         "",
         true,
         "The update service returned an error",
         {downloading}},
    };
    for (const Case& c : cases) {
        const fs::path root = test_bed::FreshScratchFolder(Utf8ToUtf16(c.what));
        UpdateManifest manifest = Published("0.1.136", c.archive, c.sha256);
        if (c.breakUrl) manifest.url = test_bed::ServiceAddress(L"/status/404/runtime.zip");
        MessageCollector collector;
        EXPECT_EQ(ErrorMessageOf([&] { InstallUpdate(manifest, root); }), c.message) << c.what;
        EXPECT_EQ(collector.Statuses(), c.statuses) << c.what;
        EXPECT_TRUE(StagingLeftovers(root).empty()) << c.what;
        EXPECT_EQ(test_bed::TreeOf(root / L"versions"), std::vector<std::wstring>{}) << c.what;
    }
}

TEST(InstallUpdate, UnsafeVersionsTouchNothing) {
    const fs::path parent = test_bed::FreshScratchFolder();
    const fs::path root = parent / L"launcher";
    const fs::path sibling = parent / L"sibling";
    fs::create_directories(root);
    fs::create_directories(sibling);
    WriteFileBytes(sibling / L"keep.txt", "keep");
    WriteFileBytes(parent / L"tessik.exe", "not ours");

    for (const char* version : {"", ".", "..", "../sibling", "..\\sibling", "/abs", "C:\\x", "a:b",
                                "CON", "nul.txt", "1.0.", "1.0 ", "a*b", "a\tb"}) {
        MessageCollector collector;
        EXPECT_EQ(ErrorMessageOf([&] { InstallUpdate(Published(version, L"good.zip"), root); }),
                  "The update manifest names an unsafe version")
            << "version: " << version;
        EXPECT_TRUE(collector.Statuses().empty());
    }
    EXPECT_EQ(
        test_bed::TreeOf(parent),
        (std::vector<std::wstring>{L"launcher", L"sibling", L"sibling\\keep.txt", L"tessik.exe"}));
}

TEST(InstallUpdate, NonAsciiVersionNamesItsFolderUnderAnyPlayerName) {
    // Ł and the two ideographs are outside the ANSI code page, through which
    // tar.exe receives its command line.
    const fs::path root = test_bed::FreshScratchFolder(L" \u0141ukasz \u6F22\u5B57");
    MessageCollector collector;
    EXPECT_EQ(InstallUpdate(Published("1.0-\xC3\xA9t\xC3\xA9", L"good.zip"), root),
              root / L"versions" / L"1.0-\u00E9t\u00E9");
    EXPECT_TRUE(fs::is_regular_file(root / L"versions" / L"1.0-\u00E9t\u00E9" / L"tessik.exe"));
}

}  // namespace

// Files in the test bed's folder outside any storage, which a link in a build
// or an archive points at.
std::vector<std::wstring> OutsideFiles() {
    return test_bed::TreeOf(test_bed::DataFile(L"outside"));
}

TEST(InstallUpdate, RemovalsNeverFollowALinkOutOfTheStorage) {
    const std::vector<std::wstring> outside = OutsideFiles();
    ASSERT_EQ(outside.size(), 3u);
    struct Case {
        const char* what;
        std::wstring archive;
        bool brokenBuildWithLink;
        std::string message;
    };
    const Case cases[] = {
        // Removed on Windows; moved aside under Wine, which cannot delete such a link.
        {"broken build holding a link", L"good.zip", true, "<no error>"},
        {"archive with a link and a damaged entry", L"link-then-damaged.zip", false,
         "The update archive contains a link"},
        {"archive with a link to a folder", L"link-outside.zip", false,
         "The update archive contains a link"},
        {"archive with a link to a file", L"file-link-outside.zip", false,
         "The update archive contains a link"},
    };
    for (const Case& c : cases) {
        const fs::path root = test_bed::FreshScratchFolder(Utf8ToUtf16(c.what));
        const fs::path build = root / L"versions" / L"0.1.136";
        if (c.brokenBuildWithLink) {
            fs::create_directories(build);
            RunCapturedProcess({SystemTarPath().wstring(), L"-xf",
                                test_bed::DataFile(L"link-outside.zip").wstring(), L"-C",
                                build.wstring()});
            fs::remove(build / L"tessik.exe");
        }
        MessageCollector collector;
        const std::string message =
            ErrorMessageOf([&] { InstallUpdate(Published("0.1.136", c.archive), root); });
        EXPECT_EQ(message, c.message) << c.what;
        EXPECT_EQ(fs::exists(build / L"tessik.exe"), c.message == "<no error>") << c.what;
        EXPECT_EQ(OutsideFiles(), outside) << c.what;
    }
}

TEST(InstallUpdate, ABrokenBuildDeeperThanMaxPathIsRepaired) {
    const fs::path root = test_bed::FreshScratchFolder();
    const fs::path build = root / L"versions" / L"0.1.136";
    std::wstring deep = LR"(\\?\)" + build.wstring();
    fs::create_directories(build);
    while (deep.size() < 400) {
        deep += L"\\" + std::wstring(40, L'd');
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << deep.size();
    }
    const std::wstring file = deep + L"\\asset.bin";
    KernelHandle written(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_READONLY, nullptr));
    ASSERT_NE(written.get(), INVALID_HANDLE_VALUE);
    written.reset();

    MessageCollector collector;
    EXPECT_EQ(InstallUpdate(Published("0.1.136", L"good.zip"), root), build);
    EXPECT_EQ(test_bed::TreeOf(build),
              (std::vector<std::wstring>{L"assets", L"assets\\models", L"assets\\models\\bird.glb",
                                         L"tessik.exe"}));
}

TEST(InstallUpdate, MovesHeldForAMomentByAScannerAreRetried) {
    const fs::path root = test_bed::FreshScratchFolder();
    const fs::path state = root / StateFileName;
    const LauncherState recorded{"0.1.136", root / L"versions" / L"0.1.136"};
    // Failures in a row: `failures`, plus all the retries of the move's window
    // when `beyondRetries`.
    struct Case {
        DWORD error;
        int failures;
        bool beyondRetries;
        bool succeeds;
    };
    const Case cases[] = {
        {ERROR_ACCESS_DENIED, 3, false, true},
        {ERROR_SHARING_VIOLATION, 0, true, true},
        {ERROR_SHARING_VIOLATION, 1, true, false},
        {ERROR_WRITE_PROTECT, 1, false, false},  // not a passing failure: no retry
    };
    // A fresh build's folder waits longer than a single file.
    struct Move {
        std::chrono::milliseconds window;
        int calls = 0;
        DWORD paused = 0;
    };
    int version = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("error " + std::to_string(c.error) + ", " + std::to_string(c.failures));
        const std::string name = "1." + std::to_string(++version);
        const UpdateManifest manifest = Published(name, L"good.zip");
        const auto failures = [&](std::chrono::milliseconds window) {
            return c.failures +
                   (c.beyondRetries ? static_cast<int>(MoveRetryPauses(window).size()) : 0);
        };
        MessageCollector collector;
        Move build{FreshBuildHold}, file{FreshFileHold};
        file_seam::Reset();
        file_seam::FailNextMoves(failures(build.window), c.error);
        const std::string installed = ErrorMessageOf([&] { InstallUpdate(manifest, root); });
        build.calls = file_seam::MoveCalls();
        build.paused = file_seam::PausedMilliseconds();
        EXPECT_TRUE(StagingLeftovers(root).empty());
        file_seam::Reset();
        file_seam::FailNextMoves(failures(file.window), c.error);
        const std::string written = ErrorMessageOf([&] { WriteLauncherState(state, recorded); });
        const bool flushed = file_seam::LastMovedFileWasFlushed();
        file.calls = file_seam::MoveCalls();
        file.paused = file_seam::PausedMilliseconds();
        file_seam::Reset();

        for (const Move& move : {build, file}) {
            const int bound = static_cast<int>(MoveRetryPauses(move.window).size());
            EXPECT_EQ(move.calls, c.error == ERROR_WRITE_PROTECT
                                      ? 1
                                      : std::min(failures(move.window), bound) + 1);
            EXPECT_LE(move.paused, move.window.count());
            if (c.beyondRetries) {
                EXPECT_GE(move.paused, move.window.count() - 5000);
            }
        }
        const std::vector<std::wstring> statuses = collector.Statuses();
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(),
                             L"Windows security is checking the update..."),
                  c.beyondRetries ? 1 : 0);
        if (c.succeeds) {
            EXPECT_EQ(installed, "<no error>");
            EXPECT_TRUE(
                fs::is_regular_file(root / L"versions" / Utf8ToUtf16(name) / L"tessik.exe"));
            EXPECT_EQ(written, "<no error>");
            EXPECT_TRUE(flushed) << "the temporary state file was moved unflushed";
            EXPECT_EQ(ReadFileBytes(state), FormatLauncherState(recorded));
        } else {
            EXPECT_EQ(installed, "Could not move the verified update into place");
            EXPECT_FALSE(fs::exists(root / L"versions" / Utf8ToUtf16(name)));
            EXPECT_EQ(written, "Could not activate the verified update");
        }
        fs::remove(state);
        fs::remove(state.wstring() + L".tmp");
    }
}

// A scanner that reads a large fresh build file by file holds one of them
// for most of a minute (on the seam's clock): the build still moves in. One
// that holds it past the move's window costs the run, but not the download.
TEST(InstallUpdate, AScannerHoldingTheFreshBuildNeverCostsTheVerifiedArchive) {
    const fs::path root = test_bed::FreshScratchFolder();
    const auto ranged = [](const std::string& version) {
        UpdateManifest manifest = Published(version, L"good.zip");
        manifest.url = test_bed::ServiceAddress(L"/ranged/-/" +
                                                manifest.url.substr(manifest.url.rfind(L'/') + 1));
        manifest.byteRanges = true;
        return manifest;
    };
    MessageCollector collector;
    file_seam::HoldFileOnNextFolderMove(L"\\assets\\models\\bird.glb", 45000);
    EXPECT_EQ(ErrorMessageOf([&] { InstallUpdate(ranged("0.1.136"), root); }), "<no error>");
    EXPECT_GE(file_seam::PausedMilliseconds(), 45000u);
    file_seam::Reset();
    EXPECT_TRUE(
        fs::is_regular_file(root / L"versions" / L"0.1.136" / L"assets" / L"models" / L"bird.glb"));
    EXPECT_EQ(collector.Statuses().back(), L"Windows security is checking the update...");

    const UpdateManifest held = ranged("0.1.137");
    file_seam::HoldFileOnNextFolderMove(L"\\tessik.exe", 600000);
    EXPECT_EQ(ErrorMessageOf([&] { InstallUpdate(held, root); }),
              "Could not move the verified update into place");
    file_seam::Reset();
    const fs::path partial = PartialDownloadPath(root, L"update", held.sha256);
    EXPECT_EQ(Sha256FileHex(partial), held.sha256);
    const std::wstring name = held.url.substr(held.url.rfind(L'/') + 1);
    const std::uint64_t served = test_bed::BytesServed(name);
    EXPECT_EQ(ErrorMessageOf([&] { InstallUpdate(held, root); }), "<no error>");
    EXPECT_EQ(test_bed::BytesServed(name), served) << "the next run downloads nothing";
    EXPECT_TRUE(fs::is_regular_file(root / L"versions" / L"0.1.137" / L"tessik.exe"));
    for (const std::wstring& left : StagingLeftovers(root)) {
        EXPECT_NE(left.rfind(L"partial-", 0), 0u) << "no partial download, no validator";
    }
}

TEST(InstallUpdate, AStagingFolderHeldAfterTheBuildStandsDoesNotFailIt) {
    const fs::path root = test_bed::FreshScratchFolder();
    file_seam::RefuseDeleting(L"runtime.zip");
    MessageCollector collector;
    const std::string message =
        ErrorMessageOf([&] { InstallUpdate(Published("0.1.136", L"good.zip"), root); });
    file_seam::Reset();
    EXPECT_EQ(message, "<no error>");
    EXPECT_TRUE(fs::is_regular_file(root / L"versions" / L"0.1.136" / L"tessik.exe"));
    ASSERT_EQ(StagingLeftovers(root).size(), 1u) << "the held staging folder waits for the sweep";
}

namespace {

// A scanner: as soon as an unpacked tessik.exe appears in a staging folder
// under `root`, it opens the file and its folder without delete sharing and
// holds both for `hold`. False when none appeared.
bool HoldFreshExecutable(const fs::path& root, std::chrono::milliseconds hold) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(root, error)) {
            const fs::path runtime = entry.path() / L"runtime";
            const HANDLE file =
                CreateFileW((runtime / L"tessik.exe").c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) continue;
            KernelHandle heldFile(file);
            const HANDLE folder =
                CreateFileW(runtime.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            if (folder == INVALID_HANDLE_VALUE) return false;
            KernelHandle heldFolder(folder);
            std::this_thread::sleep_for(hold);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

TEST(InstallUpdate, AFreshBuildHeldByAScannerForSecondsStillMovesIntoPlace) {
    const fs::path root = test_bed::FreshScratchFolder();
    const UpdateManifest manifest = Published("0.1.136", L"good.zip");
    MessageCollector collector;
    bool held = false;
    std::thread scanner([&] { held = HoldFreshExecutable(root, std::chrono::seconds(6)); });
    const std::string message = ErrorMessageOf([&] { InstallUpdate(manifest, root); });
    scanner.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(message, "<no error>");
    EXPECT_TRUE(fs::is_regular_file(root / L"versions" / L"0.1.136" / L"tessik.exe"));
    EXPECT_EQ(collector.Statuses(),
              (std::vector<std::wstring>{L"Downloading into TESSIK storage...",
                                         L"Installing verified update...",
                                         L"Windows security is checking the update..."}))
        << "a wait of seconds is explained";
}

TEST(InstallUpdate, AVersionDifferingFromAStoredOneOnlyInCaseIsRefusedTouchingNothing) {
    const fs::path root = test_bed::FreshScratchFolder();
    const fs::path versions = root / L"versions";
    fs::create_directories(versions / L"1.0.0-RC1");
    WriteFileBytes(versions / L"1.0.0-RC1" / L"tessik.exe", "RC1's program");
    fs::create_directories(versions / L"2.0-Beta" / L"assets");  // broken: no tessik.exe
    const std::vector<std::wstring> stored = test_bed::TreeOf(versions);
    for (const char* version : {"1.0.0-rc1", "2.0-BETA"}) {
        MessageCollector collector;
        EXPECT_EQ(ErrorMessageOf([&] { InstallUpdate(Published(version, L"good.zip"), root); }),
                  "The update's version differs from a stored build only in letter case")
            << version;
        EXPECT_TRUE(collector.Statuses().empty());
    }
    EXPECT_EQ(RequestsFor(L"good.zip"), 0u);
    EXPECT_EQ(test_bed::TreeOf(versions), stored);
    EXPECT_EQ(ReadFileBytes(versions / L"1.0.0-RC1" / L"tessik.exe"), "RC1's program");
}

TEST(InstallUpdate, ABrokenBuildThatCannotBeRemovedIsMovedAside) {
    struct Case {
        const char* what;
        bool holdFolder;
        std::string message;
    };
    // An entry the player may not delete (denied to them, or a link Wine
    // cannot delete) fails its removal, yet its folder can be renamed, as NTFS
    // renames a folder that holds a denied entry (not one that holds an open file).
    const Case cases[] = {
        {"a file held", false, "<no error>"},
        {"the folder itself held", true, "Could not remove a folder in TESSIK storage"},
    };
    for (const Case& c : cases) {
        const fs::path root = test_bed::FreshScratchFolder(Utf8ToUtf16(c.what));
        const fs::path build = root / L"versions" / L"0.1.136";
        fs::create_directories(build / L"assets");
        const fs::path heldFile = build / L"assets" / L"held.pak";
        WriteFileBytes(heldFile, "held");
        KernelHandle held;
        if (c.holdFolder) {
            held.reset(CreateFileW(build.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
            ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
        }
        const UpdateManifest manifest = Published("0.1.136", L"good.zip");
        MessageCollector collector;
        file_seam::PassPausesAtOnce();
        file_seam::RefuseDeleting(L"held.pak", ERROR_ACCESS_DENIED);
        const std::string message = ErrorMessageOf([&] { InstallUpdate(manifest, root); });
        file_seam::Reset();
        EXPECT_EQ(message, c.message) << c.what;
        EXPECT_EQ(fs::exists(build / L"tessik.exe"), !c.holdFolder) << c.what;
        // Nothing is lost: the held entry stays, in place or in a folder the sweep removes later.
        const std::vector<std::wstring> left = StagingLeftovers(root);
        if (c.holdFolder) {
            EXPECT_TRUE(left.empty()) << c.what;
            EXPECT_TRUE(fs::exists(heldFile)) << c.what;
        } else {
            ASSERT_EQ(left.size(), 1u) << c.what;
            EXPECT_TRUE(StagingFolderProcessId(left.front())) << c.what;
            EXPECT_EQ(ReadFileBytes(root / left.front() / L"assets" / L"held.pak"), "held");
        }
    }
}

}  // namespace

TEST(PartialDownloads, OnlyTheNamedDigestOfAKindIsKeptAndNoneOlderThanAWeek) {
    const fs::path root = test_bed::FreshScratchFolder();
    const fs::path kept = PartialDownloadPath(root, L"update", std::string(64, 'a'));
    const fs::path other = PartialDownloadPath(root, L"update", std::string(64, 'b'));
    const fs::path launcher = PartialDownloadPath(root, L"launcher", std::string(64, 'c'));
    for (const fs::path& file : {kept, other, launcher}) {
        WriteFileBytes(file, "part");
        WriteFileBytes(file.wstring() + L".validator", "\"tag\" 9");
    }
    RemovePartialDownloads(root, L"update", kept);
    EXPECT_TRUE(fs::exists(kept));
    EXPECT_FALSE(fs::exists(other));
    EXPECT_FALSE(fs::exists(other.wstring() + L".validator"));
    EXPECT_TRUE(fs::exists(launcher)) << "another kind is not touched";

    fs::last_write_time(kept, fs::file_time_type::clock::now() - std::chrono::hours(24 * 8));
    RemovePartialDownloads(root, L"update", kept);
    EXPECT_FALSE(fs::exists(kept)) << "a week old: stale";
    EXPECT_FALSE(fs::exists(kept.wstring() + L".validator"));
}

TEST(PartialDownloads, AnAcceptedManifestSweepsWhatItNoLongerNeeds) {
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
    const std::wstring aw = Utf8ToUtf16(a), bw = Utf8ToUtf16(b), cw = Utf8ToUtf16(c);
    // What each accepted manifest leaves of the same storage root.
    const struct {
        const char* what;
        std::function<void(const fs::path&)> sweep;
        std::vector<std::wstring> left;
    } rows[] = {
        {"a launcher manifest keeps its own partial launcher download only",
         [&](const fs::path& root) { SweepLauncherPartials(root, a); },
         {L"partial-launcher-" + aw + L".download",
          L"partial-launcher-" + aw + L".download.validator", L"partial-patch-" + aw + L".download",
          L"partial-patch-" + bw + L".download", L"partial-patch-" + bw + L".download.validator",
          L"partial-update-" + aw + L".download", L"partial-update-" + bw + L".download",
          L"partial-update-" + bw + L".download.validator"}},
        {"a game manifest keeps its archive's and the recorded build's patch",
         [&](const fs::path& root) { SweepGamePartials(root, b, a); },
         {L"partial-launcher-" + aw + L".download",
          L"partial-launcher-" + aw + L".download.validator",
          L"partial-launcher-" + bw + L".download", L"partial-patch-" + aw + L".download",
          L"partial-update-" + bw + L".download",
          L"partial-update-" + bw + L".download.validator"}},
        {"a game manifest without a patch keeps no partial patch",
         [&](const fs::path& root) { SweepGamePartials(root, c, ""); },
         {L"partial-launcher-" + aw + L".download",
          L"partial-launcher-" + aw + L".download.validator",
          L"partial-launcher-" + bw + L".download"}},
    };
    int number = 0;
    for (const auto& row : rows) {
        const fs::path root = test_bed::FreshScratchFolder(std::to_wstring(++number));
        for (const std::wstring& name :
             {L"partial-launcher-" + aw + L".download",
              L"partial-launcher-" + aw + L".download.validator",
              L"partial-launcher-" + bw + L".download", L"partial-update-" + aw + L".download",
              L"partial-update-" + bw + L".download",
              L"partial-update-" + bw + L".download.validator",
              L"partial-patch-" + aw + L".download", L"partial-patch-" + bw + L".download",
              L"partial-patch-" + bw + L".download.validator",
              // A validator whose partial file is gone always goes.
              L"partial-update-" + cw + L".download.validator",
              L"partial-launcher-" + cw + L".download.validator"}) {
            WriteFileBytes(root / name, "part");
        }
        std::vector<std::wstring> left = row.left;
        left.push_back(L"partial-update-folder.download");  // a folder is not a partial download
        fs::create_directory(root / left.back());
        row.sweep(root);
        std::sort(left.begin(), left.end());
        EXPECT_EQ(test_bed::TreeOf(root), left) << row.what;
    }
}

TEST(InstallationLock, OneNamePerFolderHoweverItIsSpelled) {
    const std::wstring name =
        InstallationLockName(L"C:\\Users\\Zo\u00EB\\AppData\\Tessik\\launcher");
    EXPECT_EQ(name.rfind(L"Local\\TessikInstallation-", 0), 0u) << Utf16ToUtf8(name);
    EXPECT_EQ(name.size(), 25u + 64u);
    for (const wchar_t* same : {L"c:\\users\\ZO\u00CB\\appdata\\TESSIK\\Launcher",
                                L"C:\\Users\\Zo\u00EB\\AppData\\Tessik\\launcher\\",
                                L"C:/Users/Zo\u00EB/AppData/Tessik/launcher",
                                L"C:\\Users\\Zo\u00EB\\AppData\\.\\Tessik\\launcher"}) {
        EXPECT_EQ(InstallationLockName(same), name) << Utf16ToUtf8(same);
    }
    for (const wchar_t* other : {L"C:\\Users\\Zoe\\AppData\\Tessik\\launcher",
                                 L"D:\\Users\\Zo\u00EB\\AppData\\Tessik\\launcher",
                                 L"C:\\Users\\Zo\u00EB\\AppData\\Tessik"}) {
        EXPECT_NE(InstallationLockName(other), name) << Utf16ToUtf8(other);
    }
}

// A thread that takes the lock and ends without releasing it, as a killed
// launcher does.
static DWORD WINAPI EndHoldingTheLock(LPVOID root) {
    InstallationLock lock(*static_cast<const fs::path*>(root));
    const InstallationLock::Owner held = lock.Acquire();
    ExitThread(0);
}

TEST(InstallationLock, HeldByOneAtATimeAndTakenOverFromOneThatEndedHoldingIt) {
    const fs::path root = test_bed::FreshScratchFolder();
    const auto takenElsewhere = [](const fs::path& folder) {
        bool taken = false;
        std::thread([&] { taken = InstallationLock(folder).TryAcquire().has_value(); }).join();
        return taken;
    };
    InstallationLock lock(root);
    {
        const InstallationLock::Owner held = lock.Acquire();
        EXPECT_FALSE(takenElsewhere(root));
        EXPECT_TRUE(takenElsewhere(test_bed::FreshScratchFolder(L"other")))
            << "another storage root has a lock of its own";
    }
    EXPECT_TRUE(takenElsewhere(root));

    KernelHandle ended(
        CreateThread(nullptr, 0, EndHoldingTheLock, const_cast<fs::path*>(&root), 0, nullptr));
    ASSERT_TRUE(ended);
    ASSERT_EQ(WaitForSingleObject(ended.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(lock.TryAcquire().has_value()) << "an abandoned lock counts as taken";
}

namespace {

// A security descriptor from its text, owned.
struct Descriptor {
    explicit Descriptor(const wchar_t* text) {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &bytes,
                                                             nullptr);
    }
    ~Descriptor() { LocalFree(bytes); }
    PSECURITY_DESCRIPTOR bytes = nullptr;
};

}  // namespace

// An older launcher run as administrator leaves a mutex that a normal one may
// not open (Wine refuses it too when only SYSTEM may): it counts as held by
// another launcher until it goes, not as a lock that cannot be taken.
TEST(InstallationLock, AMutexThisUserMayNotOpenCountsAsHeldUntilItGoes) {
    const fs::path root = test_bed::FreshScratchFolder();
    const std::wstring name = InstallationLockName(root);
    const Descriptor systemOnly(L"D:P(A;;GA;;;SY)");
    ASSERT_NE(systemOnly.bytes, nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), systemOnly.bytes, FALSE};
    KernelHandle foreign(CreateMutexW(&attributes, FALSE, name.c_str()));
    ASSERT_TRUE(foreign);
    ASSERT_FALSE(KernelHandle(CreateMutexW(nullptr, FALSE, name.c_str())));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    std::optional<InstallationLock> lock;
    ASSERT_EQ(ErrorMessageOf([&] { lock.emplace(root); }), "<no error>");
    EXPECT_FALSE(lock->TryAcquire().has_value());
    std::thread ends([&] {
        Sleep(1500);
        foreign.reset();
    });
    const auto start = std::chrono::steady_clock::now();
    { const InstallationLock::Owner held = lock->Acquire(); }
    ends.join();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
}

// Whoever makes it, elevated or not, the player's normal launchers may open
// it: the user may use it, and its label is medium, not the creator's high
// (Wine keeps no label, so the label is read from the descriptor's text).
TEST(InstallationLock, ItsMutexLetsTheSameUserInAtMediumIntegrity) {
    EXPECT_EQ(InstallationLockSecurity(L"S-1-5-21-1-2-3-1001"),
              L"D:P(A;;0x1F0001;;;S-1-5-21-1-2-3-1001)(A;;0x1F0001;;;SY)S:(ML;;NW;;;ME)");
    const fs::path root = test_bed::FreshScratchFolder();
    const InstallationLock lock(root);
    KernelHandle mutex(
        OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, InstallationLockName(root).c_str()));
    ASSERT_TRUE(mutex);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    const LocalMemory owner(descriptor);

    HANDLE rawToken = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken));
    const KernelHandle token(rawToken);
    alignas(TOKEN_USER) BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size));
    const PSID self = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    bool userAllowed = false;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
            ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(reinterpret_cast<PSID>(&ace->SidStart), self)) {
            userAllowed = (ace->Mask & MUTEX_ALL_ACCESS) == MUTEX_ALL_ACCESS;
        }
    }
    EXPECT_TRUE(userAllowed);
}

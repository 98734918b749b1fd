#include "selfupdate/launcher_update.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "app/entry_point.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "build_config.h"
#include "store/storage.h"
#include "tests/support/file_seam.h"
#include "tests/support/game_record.h"
#include "tests/support/message_collector.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

const char LauncherExe[] = "TESSIK-Launcher-Windows-x64.exe";

// The "new launcher" is the game stand-in: it records the command line and
// folder it was started with, which is what the hand-off must get right.
class LauncherUpdateTest : public testing::Test {
  protected:
    void SetUp() override {
        // The running launcher's executable, which the hand-off will rename.
        WriteFileBytes(running_, "running launcher");
        launcherExecutablePath = running_.wstring();
    }
    void TearDown() override { launcherExecutablePath.clear(); }

    void PublishLauncherManifest(const std::string& version, const std::string& sha256 = "",
                                 const std::string& executable = LauncherExe) {
        const std::wstring binary = test_bed::UniqueName(L"launcher.exe");
        test_bed::Publish(binary, ReadFileBytes(test_bed::SupportProgram(L"game_standin.exe")));
        const std::string digest =
            sha256.empty() ? test_bed::ExpectedSha256(L"game_standin.exe") : sha256;
        const std::wstring manifest = test_bed::UniqueName(L"launcher.json");
        test_bed::Publish(
            manifest, test_bed::ManifestJson(version, test_bed::ServiceAddress(L"/files/" + binary),
                                             digest, executable));
        address_.emplace(L"TESSIK_LAUNCHER_UPDATE_MANIFEST",
                         test_bed::ServiceAddress(L"/files/" + manifest));
    }

    fs::path scratch_ = test_bed::FreshScratchFolder();
    fs::path root_ = scratch_ / L"Store Root";
    RememberedSequences seen_{root_ / SequenceFileName};
    fs::path running_ = scratch_ / L"My Games" / L"TESSIK-Launcher-Windows-x64.exe";
    fs::path record_ = scratch_ / L"handoff.txt";
    ScopedVariable recordVariable_{L"TESSIK_GAME_RECORD", record_.wstring()};
    std::optional<ScopedVariable> address_;
    bool made_ = fs::create_directories(root_) && fs::create_directories(running_.parent_path());
};

TEST_F(LauncherUpdateTest, SameVersionDoesNothing) {
    PublishLauncherManifest(LauncherVersion);
    MessageCollector collector;
    EXPECT_FALSE(CheckLauncherUpdate(root_, seen_));
    EXPECT_TRUE(collector.Statuses().empty());
    EXPECT_TRUE(test_bed::TreeOf(root_).empty());
}

TEST_F(LauncherUpdateTest, OtherVersionIsDownloadedVerifiedAndHandedOver) {
    for (const char* version : {"0.1.191", "0.1.189"}) {
        fs::remove(record_);
        PublishLauncherManifest(version);
        MessageCollector collector;
        ASSERT_TRUE(CheckLauncherUpdate(root_, seen_)) << version;
        EXPECT_EQ(collector.Statuses(),
                  std::vector<std::wstring>{L"Downloading launcher update..."});

        const fs::path update = root_ / (L"launcher-update-" + Utf8ToUtf16(version) + L".exe");
        EXPECT_EQ(ReadFileBytes(update),
                  ReadFileBytes(test_bed::SupportProgram(L"game_standin.exe")));
        const GameRecord copy = ReadGameRecord(record_);
        ASSERT_TRUE(copy.ran) << version;
        EXPECT_EQ(copy.words,
                  (std::vector<std::wstring>{
                      update.wstring(), L"--finish-launcher-update",
                      std::to_wstring(GetCurrentProcessId()), update.wstring(), running_.wstring(),
                      (running_.parent_path() / L"launcher-backup-0.1.190.exe").wstring()}));
        EXPECT_EQ(copy.folder, root_);
    }
    // Both downloads stay; no backup is made by the check itself.
    EXPECT_EQ(test_bed::TreeOf(root_), (std::vector<std::wstring>{L"launcher-update-0.1.189.exe",
                                                                  L"launcher-update-0.1.191.exe"}));
}

TEST_F(LauncherUpdateTest, DigestMismatchDeletesTheDownload) {
    PublishLauncherManifest("0.1.191", std::string(64, '0'));
    EXPECT_EQ(ErrorMessageOf([&] { CheckLauncherUpdate(root_, seen_); }),
              "Downloaded launcher failed its SHA-256 check");
    EXPECT_TRUE(test_bed::TreeOf(root_).empty());
    EXPECT_FALSE(ReadGameRecord(record_, std::chrono::milliseconds(500)).ran);
}

TEST_F(LauncherUpdateTest, RejectedManifestsFailBeforeAnyDownload) {
    struct Case {
        std::string version, executable, message;
    };
    const Case cases[] = {
        {"0.1.191", "", "The update manifest names an unexpected executable"},
        {"0.1.191", "tessik.exe", "The update manifest names an unexpected executable"},
        {"..", LauncherExe, "The update manifest names an unsafe version"},
        {"../../escape", LauncherExe, "The update manifest names an unsafe version"},
        // JSON-escaped in the manifest: x\..\..\escape
        {"x\\\\..\\\\..\\\\escape", LauncherExe, "The update manifest names an unsafe version"},
        {"C:", LauncherExe, "The update manifest names an unsafe version"},
        {"1.0.", LauncherExe, "The update manifest names an unsafe version"},
        {"AUX", LauncherExe, "The update manifest names an unsafe version"},
    };
    for (const Case& c : cases) {
        PublishLauncherManifest(c.version, "", c.executable);
        MessageCollector collector;
        EXPECT_EQ(ErrorMessageOf([&] { CheckLauncherUpdate(root_, seen_); }), c.message)
            << c.version;
        EXPECT_TRUE(collector.Statuses().empty());
    }
    EXPECT_EQ(test_bed::TreeOf(scratch_),
              (std::vector<std::wstring>{L"My Games", L"My Games\\TESSIK-Launcher-Windows-x64.exe",
                                         L"Store Root"}));
}

TEST_F(LauncherUpdateTest, AddressIsTheVariableOrTheDefault) {
    {
        ScopedVariable plain(L"TESSIK_LAUNCHER_UPDATE_MANIFEST", L"http://localhost/launcher.json");
        EXPECT_EQ(LauncherManifestAddress(), L"http://localhost/launcher.json");
        EXPECT_EQ(ErrorMessageOf([&] { CheckLauncherUpdate(root_, seen_); }),
                  "The update URL is invalid or insecure");
    }
    ScopedVariable empty(L"TESSIK_LAUNCHER_UPDATE_MANIFEST", L"");
    // The build's update host, as CMake gave it to this test program.
    EXPECT_EQ(Utf16ToUtf8(LauncherManifestAddress()),
              "https://" TESSIK_TEST_UPDATE_HOST "/release/windows-launcher-x86_64-manifest.json");
}

TEST_F(LauncherUpdateTest, UnknownOwnPathFailsBeforeAnyRequest) {
    PublishLauncherManifest("0.1.191");
    launcherExecutablePath.clear();
    const size_t before = test_bed::RequestLog().size();
    EXPECT_EQ(ErrorMessageOf([&] { CheckLauncherUpdate(root_, seen_); }),
              "The launcher could not find its own executable");
    const std::vector<std::string> log = test_bed::RequestLog();
    for (size_t i = before; i < log.size(); ++i) {
        EXPECT_EQ(log[i].find(Utf16ToUtf8(test_bed::UniqueName(L""))), std::string::npos) << log[i];
    }
    EXPECT_TRUE(test_bed::TreeOf(root_).empty());
}

TEST(CanReplaceLauncherExecutable, ProbesTheExecutableItselfAndLeavesNothingBehind) {
    const fs::path folder = test_bed::FreshScratchFolder();
    const fs::path launcher = folder / LauncherExe;
    fs::copy_file(test_bed::SupportProgram(L"game_standin.exe"), launcher);
    EXPECT_TRUE(CanReplaceLauncherExecutable(launcher));
    {
        // An executable held without delete sharing stands in for another
        // user's, which the player may not rename: the hand-off could not.
        KernelHandle held(CreateFileW(launcher.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(MoveFileExW(launcher.c_str(), (folder / L"moved.exe").c_str(), 0));
        EXPECT_FALSE(CanReplaceLauncherExecutable(launcher));
    }
    // A probe file that a scanner keeps from being deleted does not stay.
    const std::wstring probe =
        L"launcher-replace-check-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    for (const std::wstring& name : {probe, probe + L".moved"}) {
        file_seam::RefuseDeleting(name);
        EXPECT_TRUE(CanReplaceLauncherExecutable(launcher));
        file_seam::Reset();
        EXPECT_EQ(test_bed::TreeOf(folder), std::vector<std::wstring>{Utf8ToUtf16(LauncherExe)});
    }
}

TEST(HandOffCommandLine, QuotesOnlyThePathWithABlankAndReadsBackAsTheFinishingMode) {
    const std::wstring line = HandOffCommandLine(L"D:\\Store\\launcher-update-0.1.191.exe", 4242,
                                                 L"D:\\My Games\\TESSIK-Launcher-Windows-x64.exe",
                                                 L"D:\\Store\\launcher-backup-0.1.190.exe");
    EXPECT_EQ(
        line,
        L"D:\\Store\\launcher-update-0.1.191.exe --finish-launcher-update 4242 "
        L"D:\\Store\\launcher-update-0.1.191.exe \"D:\\My Games\\TESSIK-Launcher-Windows-x64.exe\" "
        L"D:\\Store\\launcher-backup-0.1.190.exe");
    const RunChoice choice = ChooseRun(SplitCommandLine(line.c_str()));
    EXPECT_EQ(choice.kind, RunKind::FinishLauncherUpdate);
    EXPECT_EQ(choice.processId, 4242u);
    EXPECT_EQ(choice.target, L"D:\\My Games\\TESSIK-Launcher-Windows-x64.exe");
}

}  // namespace

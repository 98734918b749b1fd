#include "selfupdate/finish_launcher_update.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/scoped_handle.h"
#include "base/text.h"
#include "store/installation_lock.h"
#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/game_record.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t NoSuchProcess = 4294967295u;

// The hand-off's three files: the "new launcher" is the game stand-in, so the
// restart it makes is recorded; the old launcher is a few known bytes.
class FinishTest : public testing::Test {
  protected:
    FinishTest() {
        fs::create_directories(store_);
        fs::create_directories(target_.parent_path());
        fs::copy_file(test_bed::SupportProgram(L"game_standin.exe"), source_);
        WriteFileBytes(target_, "old launcher");
    }

    // A process that stays alive for `milliseconds`, standing for the old launcher.
    ChildProcess StartSlowProcess(int milliseconds) {
        ScopedVariable sleep(L"TESSIK_STANDIN_SLEEP_MS", std::to_wstring(milliseconds));
        ScopedVariable record(L"TESSIK_GAME_RECORD", (scratch_ / L"slow-record.txt").wstring());
        return ChildProcess::Start(test_bed::SupportProgram(L"game_standin.exe"));
    }

    fs::path scratch_ = test_bed::FreshScratchFolder();
    fs::path store_ = scratch_ / L"Store";
    fs::path source_ = store_ / L"launcher-update-0.1.191.exe";
    fs::path target_ = scratch_ / L"My Games" / L"TESSIK-Launcher-Windows-x64.exe";
    fs::path backup_ = store_ / L"launcher-backup-0.1.190.exe";
    fs::path record_ = scratch_ / L"restart.txt";
    ScopedVariable recordVariable_{L"TESSIK_GAME_RECORD", record_.wstring()};
};

TEST_F(FinishTest, ReplacesTheLauncherKeepsTheBackupAndRestartsIt) {
    WriteFileBytes(backup_, "backup of an earlier update");
    EXPECT_EQ(FinishLauncherUpdate(NoSuchProcess, source_, target_, backup_), 0);
    EXPECT_EQ(ReadFileBytes(target_), ReadFileBytes(source_));
    EXPECT_EQ(ReadFileBytes(backup_), "old launcher");
    EXPECT_TRUE(fs::exists(source_));

    const GameRecord restart = ReadGameRecord(record_);
    ASSERT_TRUE(restart.ran);
    EXPECT_EQ(restart.words, std::vector<std::wstring>{target_.wstring()});
    EXPECT_EQ(restart.folder, target_.parent_path());
}

TEST_F(FinishTest, WaitsForTheOldLauncherToEnd) {
    ChildProcess old = StartSlowProcess(2500);
    const auto start = Clock::now();
    EXPECT_EQ(FinishLauncherUpdate(old.Id(), source_, target_, backup_), 0);
    EXPECT_GE(Clock::now() - start, 2s);
    EXPECT_TRUE(old.WaitForExit(0ms));
    EXPECT_TRUE(ReadGameRecord(record_).ran);
}

TEST_F(FinishTest, WaitsForALauncherThatInstallsIntoTheSameStorage) {
    InstallationLock lock(store_);
    std::optional<InstallationLock::Owner> held(lock.Acquire());
    int code = -1;
    std::thread finishing(
        [&] { code = FinishLauncherUpdate(NoSuchProcess, source_, target_, backup_); });
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(ReadFileBytes(target_), "old launcher") << "replaced while another launcher installs";
    held.reset();
    finishing.join();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFileBytes(target_), ReadFileBytes(source_));
}

TEST_F(FinishTest, GoesAheadWhenTheOldLauncherOutstaysThirtySeconds) {
    ChildProcess old = StartSlowProcess(120000);
    const auto start = Clock::now();
    EXPECT_EQ(FinishLauncherUpdate(old.Id(), source_, target_, backup_), 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 29s);
    EXPECT_LT(waited, 45s);
    EXPECT_FALSE(old.WaitForExit(0ms)) << "the old process should still run";
    EXPECT_EQ(ReadFileBytes(target_), ReadFileBytes(source_));
}

TEST_F(FinishTest, AnOldLauncherHeldForAMomentByAScannerIsStillReplaced) {
    KernelHandle held(CreateFileW(target_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
    std::thread scanner([&] {
        std::this_thread::sleep_for(1500ms);
        held.reset();
    });
    const int code = FinishLauncherUpdate(NoSuchProcess, source_, target_, backup_);
    scanner.join();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFileBytes(backup_), "old launcher");
    EXPECT_EQ(ReadFileBytes(target_), ReadFileBytes(source_));
}

TEST_F(FinishTest, BackupOnAnotherVolumeEndsWith21AndTouchesNothing) {
    if (!fs::exists(L"Y:\\")) GTEST_SKIP() << "the test prefix has no second volume";
    const fs::path backup = fs::path(L"Y:\\") / test_bed::UniqueName(L"backup.exe");
    EXPECT_EQ(FinishLauncherUpdate(NoSuchProcess, source_, target_, backup), 21);
    EXPECT_EQ(ReadFileBytes(target_), "old launcher");
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_FALSE(ReadGameRecord(record_, 500ms).ran);
}

TEST_F(FinishTest, FailedCopyEndsWith22AndPutsTheOldLauncherBack) {
    fs::remove(source_);
    EXPECT_EQ(FinishLauncherUpdate(NoSuchProcess, source_, target_, backup_), 22);
    EXPECT_EQ(ReadFileBytes(target_), "old launcher");
    EXPECT_FALSE(fs::exists(backup_));
    EXPECT_FALSE(ReadGameRecord(record_, 500ms).ran);
}

TEST_F(FinishTest, FailedRestartEndsWith23WithTheNewLauncherInPlace) {
    WriteFileBytes(source_, "not a program");
    EXPECT_EQ(FinishLauncherUpdate(NoSuchProcess, source_, target_, backup_), 23);
    EXPECT_EQ(ReadFileBytes(target_), "not a program");
    EXPECT_EQ(ReadFileBytes(backup_), "old launcher");
}

// The same mode reached through the launcher's command line.
TEST_F(FinishTest, TheLauncherSelectsTheModeFromItsCommandLine) {
    struct Case {
        std::wstring processId;
        DWORD code;
    };
    for (const Case& c : {Case{L"abc", 20}, Case{L"4294967296", 20}, Case{L"-1", 0}}) {
        WriteFileBytes(target_, "old launcher");
        fs::remove(record_);
        const auto start = Clock::now();
        ChildProcess mode = ChildProcess::Start(
            test_bed::LauncherProgram(), {L"--finish-launcher-update", c.processId,
                                          source_.wstring(), target_.wstring(), backup_.wstring()});
        EXPECT_EQ(mode.WaitForExit(), c.code) << Utf16ToUtf8(c.processId);
        EXPECT_LT(Clock::now() - start, 15s) << "no wait for a process id that names no process";
        if (c.code == 20) {
            EXPECT_EQ(ReadFileBytes(target_), "old launcher");
        } else {
            EXPECT_EQ(ReadFileBytes(target_), ReadFileBytes(source_));
            EXPECT_TRUE(ReadGameRecord(record_).ran);
        }
    }
}

}  // namespace

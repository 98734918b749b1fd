#include "launch/game_launch.h"

#include <gtest/gtest.h>

#include "base/process_values.h"
#include "store/storage.h"
#include "tests/support/game_record.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

// A stored build whose tessik.exe is the game stand-in.
fs::path MakeBuild(const fs::path& folder) {
    fs::create_directories(folder);
    fs::copy_file(test_bed::SupportProgram(L"game_standin.exe"), folder / L"tessik.exe");
    return folder;
}

class LaunchGameTest : public testing::Test {
  protected:
    void SetUp() override { inviteLink.clear(); }
    void TearDown() override { inviteLink.clear(); }

    fs::path scratch_ = test_bed::FreshScratchFolder();
    fs::path record_ = scratch_ / L"record.txt";
    ScopedVariable recordVariable_{L"TESSIK_GAME_RECORD", record_.wstring()};
};

TEST_F(LaunchGameTest, StartsTheGameInItsFolderWithoutArguments) {
    const fs::path build = MakeBuild(scratch_ / L"My Games" / L"versions" / L"0.1.136");
    LaunchGame(build);
    const GameRecord game = ReadGameRecord(record_);
    EXPECT_EQ(game.words, std::vector<std::wstring>{(build / L"tessik.exe").wstring()});
    EXPECT_EQ(game.folder, build);
}

TEST_F(LaunchGameTest, PassesTheInviteLinkAsTheOnlyArgument) {
    const fs::path build = MakeBuild(scratch_ / L"v");
    inviteLink.Set(L"tessik://join?room=big room&name=\"Zo\u00EB\"\\");
    LaunchGame(build);
    const GameRecord game = ReadGameRecord(record_);
    EXPECT_EQ(game.words,
              (std::vector<std::wstring>{(build / L"tessik.exe").wstring(), inviteLink.Get()}));
}

TEST_F(LaunchGameTest, MissingOrBrokenExecutableFails) {
    fs::create_directories(scratch_ / L"empty");
    EXPECT_EQ(ErrorMessageOf([&] { LaunchGame(scratch_ / L"empty"); }),
              "The installed game executable is missing");
    fs::create_directories(scratch_ / L"text");
    WriteFileBytes(scratch_ / L"text" / L"tessik.exe", "this is not a program");
    EXPECT_EQ(ErrorMessageOf([&] { LaunchGame(scratch_ / L"text"); }),
              "Windows could not start TESSIK");
    EXPECT_FALSE(ReadGameRecord(record_, std::chrono::milliseconds(500)).ran);
}

TEST(GameCommandLine, QuotesThePathAndTheLink) {
    EXPECT_EQ(GameCommandLine(L"C:\\v\\tessik.exe", L""), L"C:\\v\\tessik.exe");
    EXPECT_EQ(GameCommandLine(L"C:\\My Games\\tessik.exe", L"tessik://x"),
              L"\"C:\\My Games\\tessik.exe\" tessik://x");
    EXPECT_EQ(GameCommandLine(L"C:\\v\\tessik.exe", L"tessik://a \"b\""),
              L"C:\\v\\tessik.exe \"tessik://a \\\"b\\\"\"");
}

}  // namespace

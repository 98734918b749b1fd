#include "launch/invite_protocol.h"

#include <gtest/gtest.h>

#include "base/process_values.h"
#include "store/storage.h"
#include "tests/support/registry.h"
#include "tests/support/test_bed.h"

namespace {

namespace fs = std::filesystem;

const std::wstring Key = L"Software\\Classes\\tessik";

class InviteProtocolTest : public testing::Test {
  protected:
    void SetUp() override { DeleteUserRegistryTree(Key); }
    void TearDown() override {
        DeleteUserRegistryTree(Key);
        launcherExecutablePath.clear();
    }
};

TEST_F(InviteProtocolTest, WritesTheFourValuesForTheRunningLauncher) {
    const fs::path folder = test_bed::FreshScratchFolder(L" My Games");
    const fs::path launcher = folder / L"TESSIK Launcher.exe";
    WriteFileBytes(launcher, "stand-in");
    launcherExecutablePath = launcher.wstring();
    RegisterInviteProtocol();

    const std::wstring quoted = L"\"" + launcher.wstring() + L"\"";
    EXPECT_EQ(ReadUserRegistryString(Key, L""), L"URL:TESSIK Invite");
    EXPECT_EQ(ReadUserRegistryString(Key, L"URL Protocol"), L"");
    EXPECT_EQ(ReadUserRegistryString(Key + L"\\DefaultIcon", L""), quoted + L",0");
    EXPECT_EQ(ReadUserRegistryString(Key + L"\\shell\\open\\command", L""), quoted + L" \"%1\"");

    // Moved elsewhere, the launcher rewrites the handler with its new path.
    const fs::path moved = test_bed::FreshScratchFolder(L" moved") / L"launcher.exe";
    fs::copy_file(launcher, moved);
    launcherExecutablePath = moved.wstring();
    RegisterInviteProtocol();
    EXPECT_EQ(ReadUserRegistryString(Key + L"\\shell\\open\\command", L""),
              L"\"" + moved.wstring() + L"\" \"%1\"");
}

TEST_F(InviteProtocolTest, WritesNothingWithoutAnExistingOwnPath) {
    launcherExecutablePath.clear();
    RegisterInviteProtocol();
    EXPECT_FALSE(ReadUserRegistryString(Key, L""));

    launcherExecutablePath = (test_bed::FreshScratchFolder() / L"gone.exe").wstring();
    RegisterInviteProtocol();
    EXPECT_FALSE(ReadUserRegistryString(Key, L""));
    EXPECT_FALSE(ReadUserRegistryString(Key + L"\\shell\\open\\command", L""));
}

TEST(InviteProtocolValues, PutsThePathBetweenQuotesUnchanged) {
    const std::vector<RegistryString> values = InviteProtocolValues(L"C:\\a \"b\\launcher.exe");
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[3].key, L"Software\\Classes\\tessik\\shell\\open\\command");
    EXPECT_EQ(values[3].data, L"\"C:\\a \"b\\launcher.exe\" \"%1\"");
}

}  // namespace

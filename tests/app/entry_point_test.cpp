#include "app/entry_point.h"

#include <gtest/gtest.h>

#include "app/invite_handover.h"
#include "base/launcher_error.h"

namespace {

RunChoice Choose(std::vector<std::wstring> words) {
    words.insert(words.begin(), L"C:\\Games\\TESSIK-Launcher-Windows-x64.exe");
    return ChooseRun(words);
}

TEST(ChooseRun, NoArgumentsOpensTheWindowWithoutInvite) {
    const RunChoice choice = Choose({});
    EXPECT_EQ(choice.kind, RunKind::Window);
    EXPECT_EQ(choice.inviteLink, L"");
}

TEST(ChooseRun, FinishingModeNeedsExactlyFiveFurtherWords) {
    const RunChoice six = Choose({L"--finish-launcher-update", L"4242", L"D:\\Store\\new.exe",
                                  L"D:\\My Games\\old.exe", L"D:\\Store\\backup.exe"});
    ASSERT_EQ(six.kind, RunKind::FinishLauncherUpdate);
    EXPECT_EQ(six.processId, 4242u);
    EXPECT_EQ(six.source, L"D:\\Store\\new.exe");
    EXPECT_EQ(six.target, L"D:\\My Games\\old.exe");
    EXPECT_EQ(six.backup, L"D:\\Store\\backup.exe");

    EXPECT_EQ(Choose({L"--finish-launcher-update", L"1", L"a", L"b"}).kind, RunKind::Window);
    EXPECT_EQ(Choose({L"--finish-launcher-update", L"1", L"a", L"b", L"c", L"d"}).kind,
              RunKind::Window);
    EXPECT_EQ(Choose({L"--FINISH-LAUNCHER-UPDATE", L"1", L"a", L"b", L"c"}).kind, RunKind::Window);
    // Five further words, but the mode word is not first: not a mode.
    EXPECT_EQ(Choose({L"1", L"--finish-launcher-update", L"a", L"b", L"c"}).kind, RunKind::Window);
}

TEST(ChooseRun, FinishingModeWithUnreadableProcessIdEndsWithoutWindow) {
    EXPECT_EQ(Choose({L"--finish-launcher-update", L"abc", L"a", L"b", L"c"}).kind,
              RunKind::BadProcessId);
    EXPECT_EQ(Choose({L"--finish-launcher-update", L"4294967296", L"a", L"b", L"c"}).kind,
              RunKind::BadProcessId);
}

TEST(ReadProcessIdArgument, ReadsLikeWcstoulInBase10) {
    struct Case {
        const wchar_t* text;
        std::optional<std::uint32_t> expected;
    };
    const Case cases[] = {
        {L"4242", 4242u},
        {L"12abc", 12u},
        {L"  7", 7u},
        {L"+9", 9u},
        {L"-1", 4294967295u},
        {L"-4294967295", 1u},
        {L"0", 0u},
        {L"4294967295", 4294967295u},
        {L"4294967296", std::nullopt},
        {L"99999999999999999999", std::nullopt},
        {L"abc", std::nullopt},
        {L"", std::nullopt},
        {L"-", std::nullopt},
        {L"0x10", 0u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadProcessIdArgument(c.text), c.expected)
            << "text: " << testing::PrintToString(std::wstring(c.text));
    }
}

TEST(ChooseRun, DiagnosticSwitchAtAnyPositionWinsAndEndsTheScan) {
    struct Case {
        std::vector<std::wstring> words;
        bool probe;
    };
    const Case cases[] = {
        {{L"--selftest"}, false},
        {{L"--verify-native"}, false},
        {{L"--probe-manifest"}, true},
        {{L"tessik://join/1", L"--selftest"}, false},
        {{L"x", L"--probe-manifest", L"--selftest"}, true},
        {{L"--selftest", L"--probe-manifest"}, false},
    };
    for (const Case& c : cases) {
        const RunChoice choice = Choose(c.words);
        EXPECT_EQ(choice.kind, RunKind::Diagnostics);
        EXPECT_EQ(choice.probe, c.probe);
    }
    EXPECT_EQ(Choose({L"--SELFTEST"}).kind, RunKind::Window);
    EXPECT_EQ(Choose({L"--selftest=1"}).kind, RunKind::Window);
}

TEST(ChooseRun, InviteLinkIsTheLastArgumentWithTheScheme) {
    EXPECT_EQ(Choose({L"tessik://a", L"other", L"tessik://b"}).inviteLink, L"tessik://b");
    EXPECT_EQ(Choose({L"tessik://"}).inviteLink, L"tessik://");
    EXPECT_EQ(Choose({L"TESSIK://join"}).inviteLink, L"");
    EXPECT_EQ(Choose({L"tessik:/join"}).inviteLink, L"");
    EXPECT_EQ(Choose({L"tessik://join me \"now\""}).inviteLink, L"tessik://join me \"now\"");
}

TEST(SplitCommandLine, SplitsByTheSystemRules) {
    const std::vector<std::wstring> words =
        SplitCommandLine(L"\"C:\\My Games\\launcher.exe\" tessik://x \"a b\" c\\\\\"d\"");
    ASSERT_EQ(words.size(), 4u);
    EXPECT_EQ(words[0], L"C:\\My Games\\launcher.exe");
    EXPECT_EQ(words[1], L"tessik://x");
    EXPECT_EQ(words[2], L"a b");
    EXPECT_EQ(words[3], L"c\\d");
}

TEST(ReadExecutablePath, NamesTheRunningProgram) {
    const std::wstring path = ReadExecutablePath();
    ASSERT_GT(path.size(), 4u);
    EXPECT_EQ(path.substr(path.size() - 14), L"\\app_tests.exe");
}

TEST(DescribeFailure, ShowsTheMessageOrAFixedTextForBadUtf8) {
    EXPECT_EQ(DescribeFailure(LauncherError("The update manifest is malformed")),
              L"The update manifest is malformed");
    EXPECT_EQ(DescribeFailure(std::runtime_error("caf\xC3\xA9")), L"caf\u00E9");
    EXPECT_EQ(DescribeFailure(std::runtime_error("bad \xC3")), L"The update failed.");
    EXPECT_EQ(DescribeFailure(std::runtime_error("")), L"");
}

TEST(LauncherError, IsAStandardRuntimeError) {
    try {
        throw LauncherError("Could not write launcher state");
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Could not write launcher state");
        return;
    }
    FAIL() << "LauncherError was not caught as a runtime error";
}

TEST(ReadHandedOverLink, TakesOnlyASaneInviteLinkForItsOwnStorage) {
    const std::wstring storage = L"Local\\TessikInstallation-0a1b";
    const std::wstring other = L"Local\\TessikInstallation-0a1c";
    const std::wstring longest = L"tessik://" + std::wstring(MaxInviteLinkLength - 9, L'x');
    const struct {
        ULONG_PTR tag;
        std::wstring sender;  // the sender's storage
        std::wstring text;
        DWORD extraBytes;  // added to the byte count
        bool taken;
    } rows[] = {
        {InviteHandOverTag, storage, L"tessik://join/room 7?who=\"Ann\"", 0, true},
        {InviteHandOverTag, storage, longest, 0, true},
        {InviteHandOverTag, storage, longest + L"x", 0, false},      // too long
        {InviteHandOverTag, storage, L"tessik://join/1", 1, false},  // half a character
        {InviteHandOverTag, storage, L"TESSIK://join/1", 0, false},  // not the scheme
        {InviteHandOverTag, storage, L"https://example.test/", 0, false},
        {InviteHandOverTag, storage, L"tessik://join\n--selftest", 0,
         false},  // a control character
        {InviteHandOverTag, storage, std::wstring(L"tessik://a\0b", 12), 0, false},
        {InviteHandOverTag, storage, L"tessik://join\x7F", 0, false},
        {InviteHandOverTag, storage, L"", 0, false},
        {InviteHandOverTag + 1, storage, L"tessik://join/1", 0, false},  // another program's
        {InviteHandOverTag, other, L"tessik://join/1", 0, false},  // another player's launcher
        {InviteHandOverTag, L"", L"tessik://join/1", 0, false},
    };
    for (const auto& row : rows) {
        std::wstring bytes = HandOverPayload(row.sender, row.text) + L'\0';
        const std::optional<std::wstring> link = ReadHandedOverLink(
            row.tag, bytes.data(), static_cast<DWORD>((bytes.size() - 1) * 2) + row.extraBytes,
            storage);
        EXPECT_EQ(link.has_value(), row.taken) << row.text.size();
        if (row.taken && link) {
            EXPECT_EQ(*link, row.text);
        }
    }
    EXPECT_FALSE(ReadHandedOverLink(InviteHandOverTag, nullptr, 4, storage));
}

}  // namespace

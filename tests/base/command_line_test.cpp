#include "base/command_line.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "app/entry_point.h"
#include "base/text.h"

namespace {

TEST(QuoteCommandLineArgument, LeavesPlainArgumentsBareAndQuotesBlanksTabsAndQuotes) {
    struct Case {
        std::wstring argument, quoted;
    };
    const Case cases[] = {
        {L"C:\\x\\a.zip", L"C:\\x\\a.zip"},
        {L"C:\\x\\", L"C:\\x\\"},
        {L"C:\\My Games\\a.exe", L"\"C:\\My Games\\a.exe\""},
        {L"a b\\", L"\"a b\\\\\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"a\\\\\"b", L"\"a\\\\\\\\\\\"b\""},
        {L"tab\there", L"\"tab\there\""},
        {L"\"", L"\"\\\"\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QuoteCommandLineArgument(c.argument), c.quoted);
    }
}

TEST(QuoteCommandLineArgument, RoundTripsThroughCommandLineToArgvW) {
    const std::vector<std::wstring> arguments = {
        L"C:\\Program Files\\TESSIK\\tessik.exe",
        L"tessik://join?room=a b&name=\"Zo\u00EB\"",
        L"trailing backslash\\",
        L"two trailing \\\\",
        L"inner \\\\\" quote after backslashes",
        L"\\\\server\\share\\x y",
        L"plain",
        L"ends with quote\"",
        L"\t",
    };
    const std::wstring line = BuildCommandLine(arguments);
    const std::vector<std::wstring> words = SplitCommandLine(line.c_str());
    ASSERT_EQ(words.size(), arguments.size()) << Utf16ToUtf8(line);
    for (size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(words[i], arguments[i]) << "word " << i;
    }
}

TEST(BuildCommandLine, JoinsWithSingleBlanks) {
    EXPECT_EQ(BuildCommandLine({L"tar.exe", L"-tf", L"C:\\a b\\runtime.zip"}),
              L"tar.exe -tf \"C:\\a b\\runtime.zip\"");
    EXPECT_EQ(BuildCommandLine({L"one"}), L"one");
    EXPECT_EQ(BuildCommandLine({}), L"");
}

}  // namespace

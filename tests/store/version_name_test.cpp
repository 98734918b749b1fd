#include "store/version_name.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "tests/support/test_bed.h"

namespace {

TEST(IsSafeVersionName, RefusesAnythingButOneFileNamePart) {
    struct Case {
        std::wstring version;
        bool safe;
    };
    const Case cases[] = {
        {L"0.1.136", true},
        {L"2.0-beta", true},
        {L"1.0 final", true},
        {L"\u00E9t\u00E9-1", true},
        {L"CONSOLE", true},
        {L"COM0", true},
        {L"COM10", true},
        {L"...x", true},
        {L"", false},
        {L".", false},
        {L"..", false},
        {L"../x", false},
        {L"..\\x", false},
        {L"a/b", false},
        {L"C:x", false},
        {L"a*b", false},
        {L"a?b", false},
        {L"a\"b", false},
        {L"a<b", false},
        {L"a>b", false},
        {L"a|b", false},
        {L"tab\tin", false},
        {std::wstring(L"nul\0in", 6), false},
        {L"1.0.", false},
        {L"1.0 ", false},
        {L"CON", false},
        {L"con", false},
        {L"Nul.txt", false},
        {L"AUX.1.2", false},
        {L"PRN", false},
        {L"COM1", false},
        {L"lpt9.x", false},
        {L"COM\u00B9", false},
        {L"CON .x", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsSafeVersionName(c.version), c.safe) << Utf16ToUtf8(c.version);
    }
}

TEST(SafeVersionName, ConvertsOrRefuses) {
    EXPECT_EQ(SafeVersionName("0.1.\xC3\xA9"), L"0.1.\u00E9");
    EXPECT_EQ(ErrorMessageOf([] { SafeVersionName(".."); }),
              "The update manifest names an unsafe version");
    EXPECT_EQ(ErrorMessageOf([] { SafeVersionName(""); }),
              "The update manifest names an unsafe version");
    EXPECT_EQ(ErrorMessageOf([] { SafeVersionName("bad\xC3"); }),
              "The update service returned invalid text");
}

}  // namespace

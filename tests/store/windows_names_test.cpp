#include "format/windows_names.h"

#include <gtest/gtest.h>

#include "base/launcher_error.h"
#include "tests/support/test_bed.h"

namespace {

ZipEntry Entry(const std::string& name) {
    ZipEntry entry;
    entry.name = name;
    entry.utf8 = true;
    entry.method = 8;
    entry.isFolder = !name.empty() && name.back() == '/';
    return entry;
}

std::string ProblemOf(const std::vector<ZipEntry>& entries) {
    const std::optional<EntryProblem> problem = FindWindowsEntryProblem(entries);
    return problem ? problem->entry + ": " + problem->why : "";
}

TEST(WindowsNameProblem, RefusesNamesWindowsRewritesOrCannotOpen) {
    struct Case {
        std::string name;
        bool kept;
    };
    const Case cases[] = {
        {"assets/a_b.pak", true},
        {"CONSOLE", true},
        {"COM10.txt", true},
        {"assets/m\u00FAsica.ogg", true},
        {".hidden", true},
        {"a.b.c/d e", true},
        {"assets/ab:c.pak", false},
        {"sub?/tessik.exe", false},
        {"a*b", false},
        {"a\"b", false},
        {"a<b", false},
        {"a>b", false},
        {"a|b", false},
        {"a\tb", false},
        {"tessik.exe\r\n", false},
        {"folder./a", false},
        {"name ", false},
        {"con", false},
        {"Aux.txt", false},
        {"data/nul.tar.gz", false},
        {"LPT9", false},
        {"com\u00B9.log", false},
        {"CONOUT$", false},
        {"CON .txt", false},
        {"../escape", false},
        {std::string(255, 'a'), true},
        {std::string(256, 'a'), false},
        {std::string(254, 'a') + "\u00E9", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WindowsNameProblem(c.name).empty(), c.kept) << c.name;
    }
}

TEST(FoldCaseAsNtfs, MapsEachUnitToItsSimpleUppercase) {
    EXPECT_EQ(FoldCaseAsNtfs("tessik.exe"), "TESSIK.EXE");
    EXPECT_EQ(FoldCaseAsNtfs("m\u00FAsica-\u0101\u03C3"), "M\u00DASICA-\u0100\u03A3");
    EXPECT_EQ(FoldCaseAsNtfs("stra\u00DFe"), "STRA\u00DFE");  // no one-unit uppercase
    EXPECT_EQ(FoldCaseAsNtfs("\xFF"
                             "a"),
              "\xFF"
              "A");
}

TEST(FindWindowsEntryProblem, RefusesEntriesThatLandOnOneAnother) {
    struct Case {
        std::vector<std::string> names;
        std::string problem;  // empty: Windows stores the list as published
    };
    const Case cases[] = {
        {{"Data/a", "data/b", "DATA/"}, ""},
        {{"Data/a", "data2/A"}, ""},
        {{"tessik.exe", "TESSIK.EXE"},
         "TESSIK.EXE: is the same file on Windows as the entry \"tessik.exe\""},
        {{"Data/a.txt", "data/A.txt"},
         "data/A.txt: is the same file on Windows as the entry \"Data/a.txt\""},
        {{"a", "a"}, "a: appears twice"},
        {{"a/", "a/"}, "a/: appears twice"},
        {{"x", "X/"}, "X/: is a folder of the same name as the file \"x\""},
        {{"x/y", "X"}, "X: is a file where another entry needs a folder of that name"},
        {{"x", "X/y"}, "X/y: lies under the file \"x\", which Windows cannot hold as a folder"},
        {{"a//b", "a/b"}, "a/b: is the same file on Windows as the entry \"a//b\""},
        {{"\u00E9.txt", "\u00C9.TXT"},
         "\u00C9.TXT: is the same file on Windows as the entry \"\u00E9.txt\""},
    };
    for (const Case& c : cases) {
        std::vector<ZipEntry> entries;
        for (const std::string& name : c.names) entries.push_back(Entry(name));
        EXPECT_EQ(ProblemOf(entries), c.problem) << c.names.front();
    }
}

TEST(FindWindowsEntryProblem, RefusesANameShapedLikeAnotherEntrysShortName) {
    struct Case {
        std::vector<std::string> names;
        std::string problem;  // empty: published
    };
    const std::string opens =
        "\" in its folder, and would open that file on a volume that makes 8.3 names";
    const Case cases[] = {
        {{"textures-big.pak", "TEXTUR~1.PAK"},
         "TEXTUR~1.PAK: has a name shaped like the short name Windows may give \"textures-big.pak" +
             opens},
        {{"TEXTUR~1.PAK", "textures-big.pak"},
         "TEXTUR~1.PAK: has a name shaped like the short name Windows may give \"textures-big.pak" +
             opens},
        {{"data/my file.dat", "DATA/MYFILE~2.DAT"},
         "DATA/MYFILE~2.DAT: has a name shaped like the short name Windows may give \"my file.dat" +
             opens},
        {{"a+b long.txt", "a_b~1.txt"},
         "a_b~1.txt: has a name shaped like the short name Windows may give \"a+b long.txt" +
             opens},
        {{"Program Files/x", "PROGRA~1/y"},
         "PROGRA~1/y: has a name shaped like the short name Windows may give \"Program Files" +
             opens},
        {{"textures-big.pak", "TE1A2B~1.PAK"},
         "TE1A2B~1.PAK: has a name shaped like the short name Windows may give \"textures-big.pak" +
             opens},
        // Another folder, another extension, or a long name that is 8.3 itself.
        {{"textures-big.pak", "other/TEXTUR~1.PAK"}, ""},
        {{"textures-big.pak", "TEXTUR~1.DAT"}, ""},
        {{"readme.txt", "README~1.TXT"}, ""},
        {{"textures-big.pak", "TEXTURE~.PAK", "TEXT~1X.PAK"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<ZipEntry> entries;
        for (const std::string& name : c.names) entries.push_back(Entry(name));
        EXPECT_EQ(ProblemOf(entries), c.problem) << c.names.back();
    }
}

TEST(ReadZipDirectory, ReadsAHeldZipAsItsRecordsAgree) {
    const std::vector<ZipEntry> good = ReadZipDirectory(test_bed::DataFile(L"good.zip"));
    ASSERT_FALSE(good.empty());
    EXPECT_EQ(ProblemOf(good), "");
    EXPECT_TRUE(std::any_of(good.begin(), good.end(),
                            [](const ZipEntry& e) { return e.name == "tessik.exe"; }));
    try {
        ReadZipDirectory(test_bed::DataFile(L"lying-local.zip"));
        ADD_FAILURE() << "a local header that names another file was read";
    } catch (const ZipRefusal& refusal) {
        EXPECT_EQ(ZipRefusalSentence(refusal),
                  "The archive entry \"../evil.txt\" has a local header that disagrees with the "
                  "central directory in its name");
        EXPECT_STREQ(refusal.what(), "The update archive is not a readable zip");
    }
    EXPECT_THROW(ReadZipDirectory(test_bed::DataFile(L"truncated.zip")), LauncherError);
}

}  // namespace

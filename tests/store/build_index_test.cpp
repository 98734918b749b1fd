// The build index: what the launcher accepts, and what a patch must carry.
#include <gtest/gtest.h>

#include "base/launcher_error.h"
#include "format/build_index.h"
#include "store/patch_choice.h"
#include "tests/support/test_bed.h"

namespace {

const std::string A(64, 'a'), B(64, 'b');

std::string IndexText(const std::string& lines) {
    return "tessik-build-index 1\nbuild " + A + " 1.2\nfile 5 " + A + " tessik.exe\n" + lines;
}

TEST(BuildIndex, ReadsWhatTheToolWritesAndRefusesWhatWindowsCouldNotCreateAsListed) {
    BuildIndex written;
    written.buildSha256 = B;
    written.version = "1.2 beta";
    written.files = {{"tessik.exe", 5, A}, {"Data/m\xC3\xBAsica one.ogg", 0, B}};
    written.folders = {"saves/empty"};
    written.patches = {{A, "1.1"}};
    const BuildIndex read = ParseBuildIndex(FormatBuildIndex(written));
    EXPECT_EQ(read.version, "1.2 beta");
    ASSERT_EQ(read.files.size(), 2u);
    EXPECT_EQ(read.files[1].path, "Data/m\xC3\xBAsica one.ogg");
    EXPECT_EQ(read.folders, written.folders);
    ASSERT_EQ(read.patches.size(), 1u);
    EXPECT_EQ(read.patches[0].fromVersion, "1.1");

    const std::string usable = "The build index is not usable";
    const struct {
        std::string text;
        const char* why;
    } refused[] = {
        {"", "empty"},
        {IndexText("file 1 " + A + " a.txt"), "no final line feed"},
        {IndexText("file 1 " + A + " ../escape.txt\n"), "leaves the build"},
        {IndexText("file 1 " + A + " /rooted.txt\n"), "rooted"},
        {IndexText("file 1 " + A + " C:/drive.txt\n"), "drive"},
        {IndexText("file 1 " + A + " a\\b.txt\n"), "backslash"},
        {IndexText("file 1 " + A + " a//b.txt\n"), "an empty element"},
        {IndexText("folder a//b\n"), "a folder with an empty element"},
        {IndexText("file 1 " + A + " stream:alternate.txt\n"), "a colon Windows rewrites"},
        {IndexText("file 1 " + A + " trailing.\n"), "a trailing dot"},
        {IndexText("file 1 " + A + " aux.txt\n"), "a device name"},
        {IndexText("file 1 " + A + " a.txt\nfile 1 " + B + " A.TXT\n"), "one file twice on NTFS"},
        {IndexText("file 1 " + A + " data\nfile 1 " + A + " Data/x\n"), "a file where a folder is"},
        {IndexText("folder Tessik.exe\n"), "a folder on the executable"},
        {IndexText("file -1 " + A + " a.txt\n"), "a negative size"},
        {IndexText("file 1 " + A.substr(1) + "A a.txt\n"), "a digest in capitals"},
        {IndexText("patch " + A + " \n"), "a patch without a version"},
        {IndexText("link a b\n"), "an unknown record"},
        {"tessik-build-index 3\nfile 5 " + A + " tessik.exe\n", "another format"},
        {IndexText("delta " + A + " 1.1\n"), "a block-level patch in the first format"},
        {"tessik-build-index 2\nfile 5 " + A + " tessik.exe\ndelta " + A + " \n",
         "a block-level patch without a version"},
        {"tessik-build-index 1\nfile 5 " + A + " TESSIK.EXE\n", "no tessik.exe at the top"},
        {"tessik-build-index 1\nfile 5 " + A + " bin/tessik.exe\n", "the executable nested"},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(ErrorMessageOf([&] { ParseBuildIndex(c.text); }), usable) << c.why;
    }
    EXPECT_EQ(ErrorMessageOf([] {
                  ParseBuildIndex(IndexText("file 1 " + A + " Data/a\nfile 1 " + A + " data/b\n"));
              }),
              "<no error>")
        << "a folder spelled two ways is one folder";
}

TEST(BuildIndex, BlockLevelPatchesAreListedInTheSecondFormatOnly) {
    BuildIndex written;
    written.buildSha256 = A;
    written.version = "1.2";
    written.files = {{"tessik.exe", 5, A}};
    written.patches = {{A, "1.1"}};
    EXPECT_EQ(FormatBuildIndex(written).substr(0, 21), "tessik-build-index 1\n")
        << "launchers that know only whole files keep reading an index without deltas";
    written.patches.push_back({B, "1.0", true});
    const std::string text = FormatBuildIndex(written);
    EXPECT_EQ(text.substr(0, 21), "tessik-build-index 2\n");
    EXPECT_NE(text.find("\ndelta " + B + " 1.0\n"), std::string::npos);
    const BuildIndex read = ParseBuildIndex(text);
    ASSERT_EQ(read.patches.size(), 2u);
    EXPECT_FALSE(read.patches[0].delta);
    EXPECT_TRUE(read.patches[1].delta);
    EXPECT_EQ(read.patches[1].fromVersion, "1.0");
}

TEST(PatchChoice, TheRecordedBuildFirstThenTheNewestStoredOneAndADeltaOverWholeFiles) {
    const std::vector<IndexPatch> patches = {{"w9", "1.9", false},  {"w10", "1.10", false},
                                             {"d10", "1.10", true}, {"w8", "1.8", false},
                                             {"d8", "1.8", true},   {"d7", "1.7", true}};
    struct Case {
        const char* what;
        std::string recorded;
        std::vector<std::wstring> stored;
        const char* chosen;  // nullptr: the full archive
    };
    const Case cases[] = {
        {"the recorded build's patch", "1.9", {L"1.9", L"1.10"}, "w9"},
        {"a delta from the recorded build over its whole files", "1.8", {L"1.8", L"1.10"}, "d8"},
        {"no delta from a build that is not stored", "1.8", {}, "w8"},
        {"after a rollback: the newest stored build", "1.2", {L"1.8", L"1.2", L"1.10"}, "d10"},
        {"newest by version numbers, not by text", "", {L"1.9", L"1.10"}, "d10"},
        {"a stored delta source when nothing else leads", "1.2", {L"1.7"}, "d7"},
        {"nothing from any stored build", "1.2", {L"1.2", L"1.3"}, nullptr},
    };
    for (const Case& c : cases) {
        const std::optional<IndexPatch> chosen = ChoosePatch(patches, c.recorded, c.stored);
        if (c.chosen == nullptr) {
            EXPECT_FALSE(chosen) << c.what;
        } else {
            ASSERT_TRUE(chosen) << c.what;
            EXPECT_EQ(chosen->sha256, c.chosen) << c.what;
        }
    }
}

TEST(BuildIndex, APatchCarriesNewAndChangedFilesAsNtfsMatchesPaths) {
    BuildIndex before;
    before.files = {{"tessik.exe", 5, A},
                    {"Data/kept", 1, A},
                    {"changed", 1, A},
                    {"gone", 1, A},
                    {"resized", 1, A}};
    BuildIndex after;
    after.files = {{"tessik.exe", 5, A},
                   {"DATA/KEPT", 1, A},
                   {"changed", 1, B},
                   {"added", 1, A},
                   {"resized", 2, A}};
    std::vector<std::string> changed;
    for (const IndexFile& file : ChangedFiles(before, after)) changed.push_back(file.path);
    EXPECT_EQ(changed, (std::vector<std::string>{"changed", "added", "resized"}));
}

TEST(BuildIndex, EveryListOfPathsIsKeyedOneWay) {
    const std::string key = IndexPathKey("Assets/Kept.bin");
    for (const char* spelling : {"assets/kept.bin", "assets\\kept.bin", "assets//kept.bin",
                                 "/assets/kept.bin/", "ASSETS\\\\KEPT.BIN"}) {
        EXPECT_EQ(IndexPathKey(spelling), key) << spelling;
    }
    const struct {
        const char* path;
        bool plain;
    } paths[] = {{"assets/kept.bin", true},
                 {"kept.bin", true},
                 {"assets\\kept.bin", false},
                 {"assets//kept.bin", false},
                 {"/kept.bin", false},
                 {"assets/", false},
                 {"", false}};
    for (const auto& c : paths) EXPECT_EQ(IsPlainIndexPath(c.path), c.plain) << c.path;
}

TEST(BuildIndex, IndexAndPatchesLieBesideTheBuild) {
    EXPECT_EQ(SiblingAddress("https://h.example/r/builds/tessik-1.0.zip?x=/y", "a.index"),
              "https://h.example/r/builds/a.index");
    EXPECT_EQ(SiblingAddress("https://h.example/tessik-1.0.zip#frag/ment", PatchFileName(A)),
              "https://h.example/" + A + ".patch.zip");
}

}  // namespace

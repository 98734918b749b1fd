// The operations of a block-level patch: what the reader accepts, and every
// operation it refuses before a byte is written. Built natively with the
// release tool, which writes them; the launcher compiles the same code.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <unistd.h>

#include "format/delta_apply.h"
#include "format/delta_ops.h"
#include "format/zip_directory.h"

namespace fs = std::filesystem;

namespace {

const std::string A(64, 'a'), B(64, 'b'), C(64, 'c');
const std::string Usable = "The delta patch is not usable";

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no error>";
}

// Two sources of 100 and 50 bytes, then `outputs`.
std::string OpsText(const std::string& outputs) {
    return "tessik-delta 1\nsource 100 " + A + " data/pack0.pak\nsource 50 " + B + " tessik.exe\n" +
           outputs;
}

TEST(DeltaOperations, ReadsWhatTheToolWrites) {
    DeltaOperations written;
    written.sources = {{"data/pack0.pak", 100, A}, {"M\xC3\xBAsica/b.ogg", 0, B}};
    written.outputs = {
        {"data/pack0.pak", 30, C, {{0, 90, 10}, {LiteralSource, 0, 5}, {0, 0, 15}}, 5},
        {"new/empty", 0, A, {}, 0},
        {"data/split", 7, B, {{LiteralSource, 0, 7}}, 7}};
    const std::string text = FormatDeltaOperations(written);
    EXPECT_EQ(text.substr(0, 15), "tessik-delta 1\n");
    EXPECT_NE(text.find("\ncopy 0 90 10\nliteral 5\ncopy 0 0 15\noutput 0 "), std::string::npos);
    const DeltaOperations read = ParseDeltaOperations(text);
    ASSERT_EQ(read.sources.size(), 2u);
    EXPECT_EQ(read.sources[1].path, "M\xC3\xBAsica/b.ogg");
    ASSERT_EQ(read.outputs.size(), 3u);
    EXPECT_EQ(read.outputs[0].literalBytes, 5u);
    ASSERT_EQ(read.outputs[0].operations.size(), 3u);
    EXPECT_EQ(read.outputs[0].operations[0].offset, 90u);
    EXPECT_EQ(read.outputs[0].operations[1].source, LiteralSource);
    EXPECT_TRUE(read.outputs[1].operations.empty());
    EXPECT_EQ(FormatDeltaOperations(read), text);
}

TEST(DeltaOperations, RefusesEveryOperationThatCouldNotBeAppliedAsWritten) {
    const std::string out = "output 10 " + C + " data/pack0.pak\n";
    const struct {
        std::string text;
        const char* why;
    } refused[] = {
        {"", "empty"},
        {"tessik-delta 2\n", "another format"},
        {OpsText(out + "copy 0 0 10"), "no final line feed"},
        {OpsText(out + "copy 0 91 10\n"), "a copy past the source's end"},
        {OpsText(out + "copy 0 101 0\n"), "an offset past the source's end"},
        {OpsText(out + "copy 0 18446744073709551615 10\n"), "an offset that overflows"},
        {OpsText("output 100 " + C + " x\ncopy 0 1 18446744073709551615\n"),
         "a length that overflows"},
        {OpsText(out + "copy 2 0 10\n"), "an unknown source"},
        {OpsText(out + "copy 0 0 0\nliteral 10\n"), "an empty copy"},
        {OpsText(out + "literal 0\nliteral 10\n"), "an empty literal"},
        {OpsText(out + "copy 0 0 5\n"), "fewer bytes than the output's size"},
        {OpsText(out + "literal 10\n" + out + "literal 10\n"), "the same output twice"},
        {OpsText(out + "literal 11\n"), "more bytes than the output's size"},
        {OpsText(out + "literal 5\nliteral 5\noutput 1 " + C + " b\n"), "a last output left short"},
        {OpsText("copy 0 0 10\n"), "an operation before any output"},
        {OpsText(out + "literal 10\nsource 1 " + C + " late\n"), "a source after an output"},
        {OpsText(out + "literal 010\n"), "a leading zero"},
        {OpsText(out + "literal +10\n"), "a sign"},
        {OpsText(out + "copy -1 0 10\n"), "a negative number"},
        {OpsText(out + "literal 10 more\n"), "text after the length"},
        {OpsText(out + "literal  10\n"), "two blanks"},
        {OpsText(out + "move 0 0 10\n"), "an unknown record"},
        {OpsText("output 0 " + A.substr(1) + "A empty\n"), "a digest in capitals"},
        {OpsText("output 0 " + A + " ../escape\n"), "a path that leaves the build"},
        {OpsText("output 0 " + A + " /rooted\n"), "a rooted path"},
        {OpsText("output 0 " + A + " C:/drive\n"), "a drive"},
        {OpsText("output 0 " + A + " a\\b\n"), "a backslash"},
        {OpsText("output 0 " + A + " a//b\n"), "an empty element"},
        {OpsText("output 0 " + A + " stream:alternate\n"), "a name Windows rewrites"},
        {OpsText("output 0 " + A + " aux.txt\n"), "a device name"},
        {OpsText("output 0 " + A + " trailing.\n"), "a trailing dot"},
        {OpsText("output 0 " + A + " x/.Tessik-Delta/1\n"), "the patch's own folder"},
        {OpsText("output 0 " + A + " \n"), "no path"},
        {OpsText("output 0 " + A + " a.txt\noutput 0 " + B + " A.TXT\n"),
         "one output twice on NTFS"},
        {OpsText("source 1 " + A + " TESSIK.EXE\n"), "one source twice on NTFS"},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(MessageOf([&] { ParseDeltaOperations(c.text); }), Usable) << c.why;
    }
    EXPECT_EQ(MessageOf([&] { ParseDeltaOperations(OpsText(out + "copy 0 90 10\n")); }),
              "<no error>")
        << "a copy that ends at the source's end";
}

BuildIndex IndexWith(std::vector<IndexFile> files) {
    BuildIndex index;
    index.files = {{"tessik.exe", 50, B}};
    index.files.insert(index.files.end(), files.begin(), files.end());
    return index;
}

TEST(DeltaOperations, OutputsMustBeTheIndexedFiles) {
    const DeltaOperations operations =
        ParseDeltaOperations(OpsText("output 10 " + C + " data/pack0.pak\nliteral 10\n"));
    EXPECT_EQ(MessageOf([&] {
                  CheckDeltaAgainstIndex(operations, IndexWith({{"data/pack0.pak", 10, C}}));
              }),
              "<no error>");
    const struct {
        BuildIndex index;
        const char* why;
    } refused[] = {
        {IndexWith({}), "an output the build does not hold"},
        {IndexWith({{"data/pack0.pak", 11, C}}), "another size"},
        {IndexWith({{"data/pack0.pak", 10, A}}), "another digest"},
        {IndexWith({{"DATA/pack0.pak", 10, C}}), "another spelling"},
        {IndexWith({{"data/pack0.pak", 10, C}, {".tessik-delta/0", 1, A}}),
         "a build file in the patch's own folder"},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(MessageOf([&] { CheckDeltaAgainstIndex(operations, c.index); }), Usable) << c.why;
    }
}

ZipEntry Entry(const std::string& name, uint64_t size, uint16_t method = 8) {
    ZipEntry entry;
    entry.name = name;
    entry.utf8 = true;
    entry.isFolder = !name.empty() && name.back() == '/';
    entry.method = method;
    entry.size = size;
    entry.compressedSize = method == 0 ? size : size / 2;
    return entry;
}

TEST(DeltaOperations, PatchRecordsAreCheckedAgainstTheOperationsBeforeUnpacking) {
    // Output 0 takes 4 literal bytes, output 1 none; "readme" comes whole.
    const std::string text = OpsText("output 10 " + C + " data/pack0.pak\ncopy 0 0 6\nliteral 4\n" +
                                     "output 5 " + A + " data/moved\ncopy 1 0 5\n");
    const DeltaOperations operations = ParseDeltaOperations(text);
    BuildIndex index =
        IndexWith({{"data/pack0.pak", 10, C}, {"data/moved", 5, A}, {"readme", 3, B}});
    index.folders = {"saves"};
    const ZipEntry ops = Entry(std::string(DeltaOperationsEntry), text.size(), 0);
    const std::vector<ZipEntry> good = {ops, Entry(LiteralEntryName(0), 4), Entry("readme", 3),
                                        Entry("saves/", 0)};
    const DeltaPatchBytes bytes = CheckDeltaPatchEntries(good, operations, index);
    EXPECT_EQ(bytes.literal, text.size() + 4);
    EXPECT_EQ(bytes.whole, 3u);

    const struct {
        std::vector<ZipEntry> entries;
        const char* why;
    } refused[] = {
        {{Entry(LiteralEntryName(0), 4), ops}, "operations not first"},
        {{ops, Entry(LiteralEntryName(0), 5)}, "a literal entry larger than its runs"},
        {{ops, Entry(LiteralEntryName(0), 3)}, "a literal entry smaller than its runs"},
        {{ops}, "a literal entry missing"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry(LiteralEntryName(1), 1)},
         "literal bytes for an output that takes none"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry(LiteralEntryName(2), 1)}, "an unknown output"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry(".tessik-delta/00", 4)}, "another spelling"},
        {{ops, Entry(".TESSIK-DELTA/0", 4)}, "the folder in other letter case"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry(".Tessik-Delta/", 0)}, "a folder so spelled"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry(".tessik-delta/x/0", 4)}, "a nested entry"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry(std::string(DeltaOperationsEntry), 4)},
         "the operations twice"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry("readme", 4)}, "a whole file of another size"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry("unlisted", 3)}, "a file the build lacks"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry("data/moved", 5)}, "an output also whole"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry("../readme", 3)}, "a path that leaves"},
        {{ops, Entry(LiteralEntryName(0), 4), Entry("other/", 0)}, "a folder the build lacks"},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(MessageOf([&] { CheckDeltaPatchEntries(c.entries, operations, index); }), Usable)
            << c.why;
    }
}

// A file of this process's own, read at any offset.
class FileRange : public ByteRangeSource {
  public:
    explicit FileRange(const fs::path& path) : file_(std::fopen(path.c_str(), "rb")) {}
    ~FileRange() override { std::fclose(file_); }
    void ReadAt(uint64_t offset, char* into, size_t count) override {
        if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0 ||
            std::fread(into, 1, count, file_) != count) {
            throw std::runtime_error("short read");
        }
    }

  private:
    std::FILE* file_;
};

// Writes a zip as the release tool does with libarchive: `stored` entries
// not deflated.
void WriteZip(const fs::path& zip, const std::vector<std::pair<std::string, std::string>>& files,
              size_t stored) {
    struct archive* writer = archive_write_new();
    ASSERT_EQ(archive_write_set_format_zip(writer), ARCHIVE_OK);
    ASSERT_EQ(archive_write_open_filename(writer, zip.c_str()), ARCHIVE_OK);
    for (size_t i = 0; i < files.size(); ++i) {
        ASSERT_EQ(i < stored ? archive_write_zip_set_compression_store(writer)
                             : archive_write_zip_set_compression_deflate(writer),
                  ARCHIVE_OK);
        struct archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, files[i].first.c_str());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, static_cast<la_int64_t>(files[i].second.size()));
        ASSERT_EQ(archive_write_header(writer, entry), ARCHIVE_OK);
        ASSERT_EQ(archive_write_data(writer, files[i].second.data(), files[i].second.size()),
                  static_cast<la_ssize_t>(files[i].second.size()));
        archive_entry_free(entry);
    }
    ASSERT_EQ(archive_write_close(writer), ARCHIVE_OK);
    archive_write_free(writer);
}

std::string ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DeltaOperations, ThePatchZipGivesItsOperationsBeforeAndItsLiteralsBesideTheBuild) {
    const fs::path folder = fs::temp_directory_path() / ("delta-zip-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string text = OpsText("output 10 " + C + " data/pack0.pak\ncopy 0 0 6\nliteral 4\n");
    const fs::path zip = folder / "patch.zip";
    WriteZip(zip,
             {{std::string(DeltaOperationsEntry), text},
              {LiteralEntryName(0), "LITS"},
              {"readme", "abc"},
              {"data/.tessik-deltas/x", "y"}},
             1);
    const std::vector<ZipEntry> entries = ReadZipDirectory(zip);
    FileRange range(zip);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(ReadDeltaOperationsEntry(range, entries[0]), text);
    BuildIndex index =
        IndexWith({{"data/pack0.pak", 10, C}, {"readme", 3, B}, {"data/.tessik-deltas/x", 1, A}});
    EXPECT_EQ(CheckDeltaPatchEntries(entries, ParseDeltaOperations(text), index).whole, 4u);
    ZipEntry deflated = entries[1];
    deflated.name = std::string(DeltaOperationsEntry);
    deflated.headerOffset = 0;
    EXPECT_EQ(MessageOf([&] { ReadDeltaOperationsEntry(range, deflated); }), Usable)
        << "operations that are not stored cannot be read in place";
    ZipEntry damaged = entries[0];
    damaged.crc ^= 1;
    EXPECT_EQ(MessageOf([&] { ReadDeltaOperationsEntry(range, damaged); }), Usable);

    // The two runs of the system's tar the launcher makes: the build's files
    // into the staged tree, the patch's own folder beside it.
    const std::string tar = "bsdtar -xf '" + zip.string() + "' -C '" + folder.string();
    fs::create_directories(folder / "runtime");
    fs::create_directories(folder / "delta");
    ASSERT_EQ(std::system((tar + "/runtime' --exclude .tessik-delta").c_str()), 0);
    ASSERT_EQ(std::system((tar + "/delta' .tessik-delta").c_str()), 0);
    EXPECT_FALSE(fs::exists(folder / "runtime" / ".tessik-delta"));
    EXPECT_EQ(ReadWhole(folder / "runtime" / "readme"), "abc");
    EXPECT_EQ(ReadWhole(folder / "runtime" / "data/.tessik-deltas/x"), "y");
    EXPECT_EQ(ReadWhole(folder / "delta" / LiteralEntryName(0)), "LITS");
    EXPECT_FALSE(fs::exists(folder / "delta" / "readme"));
    fs::remove_all(folder);
}

}  // namespace

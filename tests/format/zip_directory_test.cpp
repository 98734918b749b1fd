// The one zip reader: what it refuses and what it must read, on zips built
// here byte by byte and by the zip programs studios use.
#include "format/zip_directory.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "format/byte_io.h"
#include "format/crc32.h"
#include "format/windows_names.h"

namespace fs = std::filesystem;

namespace {

void Put(std::string& out, uint64_t value, size_t width) {
    for (size_t k = 0; k < width; ++k) out.push_back(static_cast<char>(value >> (8 * k)));
}

std::string Deflated(const std::string& data) {
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// One entry as a writer (honest or not) puts it down.
struct Entry {
    std::string name;
    std::string data;
    uint16_t method = 0;
    uint16_t flags = 0x0800;
    bool descriptor = false;  // sizes after the data, zero in the local header
    bool zip64 = false;       // a zip64 field in both records, 8-byte descriptor sizes
    bool central = true;      // false: a local entry no central record names
    std::function<void(std::string& local, std::string& central)> lie = {};
};

struct Built {
    std::string bytes;
    size_t endRecord = 0;  // offset of the end record
};

Built BuildZip(const std::vector<Entry>& entries) {
    Built zip;
    std::string directory;
    uint64_t count = 0;
    for (const Entry& e : entries) {
        const std::string stored = e.method == 8 ? Deflated(e.data) : e.data;
        const uint32_t crc = Crc32(e.data);
        const uint16_t flags = static_cast<uint16_t>(e.flags | (e.descriptor ? 0x0008 : 0));
        std::string extra;
        if (e.zip64) {
            Put(extra, 1, 2), Put(extra, 16, 2), Put(extra, e.data.size(), 8);
            Put(extra, stored.size(), 8);
        }
        const uint64_t offset = zip.bytes.size();
        std::string local, record;
        Put(local, 0x04034b50, 4), Put(local, 45, 2), Put(local, flags, 2);
        Put(local, e.method, 2), Put(local, 0, 4);
        Put(local, e.descriptor ? 0 : crc, 4);
        Put(local, e.zip64 ? 0xFFFFFFFF : e.descriptor ? 0 : stored.size(), 4);
        Put(local, e.zip64 ? 0xFFFFFFFF : e.descriptor ? 0 : e.data.size(), 4);
        Put(local, e.name.size(), 2), Put(local, extra.size(), 2);
        local += e.name + extra;
        Put(record, 0x02014b50, 4), Put(record, 45, 2), Put(record, 45, 2);
        Put(record, flags, 2), Put(record, e.method, 2), Put(record, 0, 4), Put(record, crc, 4);
        Put(record, e.zip64 ? 0xFFFFFFFF : stored.size(), 4);
        Put(record, e.zip64 ? 0xFFFFFFFF : e.data.size(), 4);
        Put(record, e.name.size(), 2), Put(record, extra.size(), 2), Put(record, 0, 2);
        Put(record, 0, 2), Put(record, 0, 2), Put(record, 0, 4), Put(record, offset, 4);
        record += e.name + extra;
        if (e.lie) e.lie(local, record);
        zip.bytes += local + stored;
        if (e.descriptor) {
            Put(zip.bytes, 0x08074b50, 4), Put(zip.bytes, crc, 4);
            Put(zip.bytes, stored.size(), e.zip64 ? 8 : 4);
            Put(zip.bytes, e.data.size(), e.zip64 ? 8 : 4);
        }
        if (e.central) directory += record, ++count;
    }
    const uint64_t start = zip.bytes.size();
    zip.bytes += directory;
    zip.endRecord = zip.bytes.size();
    Put(zip.bytes, 0x06054b50, 4), Put(zip.bytes, 0, 4), Put(zip.bytes, count, 2);
    Put(zip.bytes, count, 2), Put(zip.bytes, directory.size(), 4), Put(zip.bytes, start, 4);
    Put(zip.bytes, 0, 2);
    return zip;
}

class StringSource : public ByteRangeSource {
  public:
    explicit StringSource(const std::string& bytes) : bytes_(bytes) {}
    void ReadAt(uint64_t offset, char* into, size_t count) override {
        bytes_.copy(into, count, static_cast<size_t>(offset));
    }

  private:
    const std::string& bytes_;
};

// The reader's and the name rules' verdict in the release tool's words; empty
// when both accept.
std::string VerdictOf(const std::string& bytes) {
    StringSource source(bytes);
    try {
        const std::vector<ZipEntry> entries = ReadZipDirectory(source, bytes.size());
        const std::optional<EntryProblem> problem = FindWindowsEntryProblem(entries);
        return problem ? problem->entry + ": " + problem->why : "";
    } catch (const ZipRefusal& refusal) {
        EXPECT_STREQ(refusal.what(), "The update archive is not a readable zip");
        return ZipRefusalSentence(refusal);
    }
}

const Entry Game{"tessik.exe", "MZ game"};

// Rewrites `width` bytes at `at` of a record.
std::function<void(std::string&, std::string&)> Central(size_t at, uint64_t value, size_t width) {
    return [=](std::string&, std::string& record) {
        std::string field;
        Put(field, value, width);
        record.replace(at, width, field);
    };
}

TEST(ReadZipDirectory, RefusesEveryZipThatTwoReadersCouldReadApart) {
    struct Case {
        const char* what;
        std::function<Built()> make;
        std::string verdict;
    };
    const auto with = [](std::vector<Entry> entries, std::function<void(Built&)> change = {}) {
        return [=] {
            Built zip = BuildZip(entries);
            if (change) change(zip);
            return zip;
        };
    };
    const auto endField = [](size_t at, uint64_t value, size_t width) {
        return [=](Built& zip) {
            std::string field;
            Put(field, value, width);
            zip.bytes.replace(zip.endRecord + at, width, field);
        };
    };
    Entry hidden{"TESSIK.EXE", "evil"};
    Entry lying{"assets/a.pak", "12345"};
    lying.zip64 = true;
    lying.lie = [](std::string& local, std::string& record) {
        // Both records declare 4,294,967,301 bytes of the 5 stored.
        for (std::string* r : {&local, &record}) {
            const size_t field = r->size() - 16;
            std::string huge;
            Put(huge, 4294967301u, 8);
            r->replace(field, 8, huge);
            r->replace(field + 8, 8, huge);
        }
    };
    Entry overlap{"bomb-1", std::string(4096, 'a'), 8};
    Entry evil{"../evil.txt", "x"};
    evil.central = false;
    const std::string quiet = "The archive entry \"";
    const Case cases[] = {
        {"count one short", with({Game, hidden}, endField(8, 0x00010001, 4)),
         "The archive has an end record that counts 1 entries where its central directory "
         "holds 2"},
        {"disk 1", with({Game}, endField(4, 1, 2)),
         "The archive names a disk other than the first"},
        {"an entry on disk 1",
         with({Game, {"a", "b", 0, 0x800, false, false, true, Central(34, 1, 2)}}),
         quiet + "a\" lies on a disk other than the first"},
        {"a size lie", with({Game, lying}),
         quiet + "assets/a.pak\" declares more data than the archive holds"},
        {"a stored entry of two sizes",
         with({Game, {"b", "12345", 0, 0x800, false, false, true, Central(24, 4, 4)}}),
         quiet + "b\" is stored with two different sizes"},
        {"overlapping entries",
         with({overlap},
              [](Built& zip) {
                  // A second central record over the same compressed body.
                  const size_t start = zip.endRecord - (46 + 6);
                  std::string record = zip.bytes.substr(start, 46 + 6);
                  record[46 + 5] = '2';
                  zip.bytes.insert(zip.endRecord, record);
                  std::string field;
                  Put(field, 2, 2), Put(field, 2, 2), Put(field, 2 * (46 + 6), 4);
                  zip.bytes.replace(zip.endRecord + record.size() + 8, 8, field);
              }),
         quiet + "bomb-2\" overlaps the entry before it"},
        {"a hidden local entry", with({evil, Game}),
         "The archive has bytes before the entry \"tessik.exe\" that no central record names"},
        {"bytes after the last entry",
         with({Game},
              [](Built& zip) {
                  zip.bytes.insert(zip.endRecord - (46 + 10), "junk");
                  std::string offset;
                  Put(offset, zip.endRecord - (46 + 10) + 4, 4);
                  zip.bytes.replace(zip.endRecord + 4 + 16, 4, offset);
              }),
         quiet + "tessik.exe\" is followed by bytes that no central record names"},
        {"encrypted", with({Game, {"c", "x", 0, 0x801}}),
         quiet + "c\" is encrypted, which Windows' tar.exe cannot unpack"},
        {"method 7", with({Game, {"d", "x", 7}}),
         quiet + "d\" is packed with method 7, which Windows' tar.exe cannot unpack (only stored "
                 "and deflate)"},
        {"a name without the UTF-8 flag", with({Game, {"\x8F\x90.txt", "x", 0, 0}}),
         quiet + "\\x8F\\x90.txt\" has a name outside ASCII without the zip's UTF-8 flag"},
        {"a flagged name that is not UTF-8", with({Game, {"\xE9t\xE9", "x"}}),
         quiet + "\\xE9t\\xE9\" has a name that is not valid UTF-8"},
        {"an empty name", with({Game, {"", "x"}}), "The archive holds an entry with an empty name"},
        {"a local header naming another file",
         with({{"tessik.exe", "MZ", 0, 0x800, false, false, true,
                [](std::string& local, std::string&) { local[30] = 'T'; }}}),
         quiet + "tessik.exe\" has a local header that disagrees with the central directory in its "
                 "name"},
        {"a local header of another method",
         with({{"e", "x", 0, 0x800, false, false, true,
                [](std::string& local, std::string&) { local[8] = 8; }}}),
         quiet + "e\" has a local header that disagrees with the central directory in its method"},
        {"a descriptor that disagrees",
         with({{"f", "abc", 8, 0x800, true}}, [](Built& zip) { zip.bytes[zip.endRecord - 59]++; }),
         quiet + "f\" has a data descriptor that disagrees with the central directory"},
        {"a short-name alias", with({Game, {"textures-big.pak", "x"}, {"TEXTUR~1.PAK", "y"}}),
         "TEXTUR~1.PAK: has a name shaped like the short name Windows may give "
         "\"textures-big.pak\" in its folder, and would open that file on a volume that makes 8.3 "
         "names"},
        {"an end record in the comment",
         with({Game},
              [](Built& zip) {
                  zip.bytes[zip.bytes.size() - 2] = 22;
                  zip.bytes += zip.bytes.substr(zip.endRecord, 22);
              }),
         "The archive holds a second end record in its comment"},
        {"a zip64 descriptor with 8-byte sizes",
         with({Game, {"big.pak", std::string(3000, 'z'), 8, 0x800, true, true}}), ""},
        {"a folder and deflated files", with({Game, {"data/", ""}, {"data/g", "ggg", 8}}), ""},
    };
    for (const Case& c : cases) EXPECT_EQ(VerdictOf(c.make().bytes), c.verdict) << c.what;
}

TEST(ReadZipDirectory, StaysLinearOnAnOverlapBomb) {
    // Ten thousand central records over one body: refused at the second,
    // without a byte inflated.
    Built zip = BuildZip({{"bomb", std::string(1 << 20, 'a'), 8}});
    const size_t length = 46 + 4;
    const std::string record = zip.bytes.substr(zip.endRecord - length, length);
    std::string records;
    for (int i = 0; i < 10000; ++i) records += record;
    zip.bytes.insert(zip.endRecord, records);
    std::string field;
    Put(field, 10001, 2), Put(field, 10001, 2), Put(field, 10001 * length, 4);
    zip.bytes.replace(zip.endRecord + records.size() + 8, 8, field);
    EXPECT_EQ(VerdictOf(zip.bytes), "The archive entry \"bomb\" overlaps the entry before it");
}

// Runs a shell line in a fresh folder holding a small build; returns the zip.
// Debian's Info-ZIP writes names outside ASCII unflagged, which Windows reads
// in its own code page: its builds keep to ASCII.
std::string ZipMadeBy(const std::string& command, bool ascii) {
    const fs::path folder = fs::temp_directory_path() / ("tessik-zip-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "build/data/empty");
    std::ofstream(folder / "build/tessik.exe", std::ios::binary) << "MZ" << std::string(5000, 'x');
    std::ofstream(folder / (ascii ? "build/data/musica.ogg" : "build/data/m\xC3\xBAsica.ogg"),
                  std::ios::binary)
        << std::string(70000, 'o');
    std::ofstream(folder / "build/data/stored.bin", std::ios::binary) << "s";
    const std::string line =
        "cd '" + folder.string() + "/build' && (" + command + ") >/dev/null 2>&1";
    EXPECT_EQ(std::system(line.c_str()), 0) << command;
    std::ifstream in(folder / "out.zip", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove_all(folder);
    return bytes;
}

TEST(ReadZipDirectory, ReadsWhatTheCommonZipWritersMake) {
    const auto py = [](const char* method, const char* zip64) {
        return std::string(
                   "python3 -c \"import zipfile,os\nwith zipfile.ZipFile('../out.zip','w',") +
               "zipfile.ZIP_" + method + ") as z:\n for d,_,fs in os.walk('.'):\n  for f in fs:\n" +
               "   p=os.path.join(d,f)[2:]\n   with z.open(p,'w',force_zip64=" + zip64 +
               ") as w: w.write(open(p,'rb').read())\"";
    };
    const std::pair<std::string, bool> writers[] = {
        {"zip -r ../out.zip .", true},
        {"zip -r -fz ../out.zip .", true},
        {"zip -r - . | cat > ../out.zip", true},
        {py("STORED", "False"), false},
        {py("DEFLATED", "False"), false},
        {py("DEFLATED", "True"), false},
        {"7z a -tzip ../out.zip .", false},
        {"bsdtar --format zip -cf ../out.zip *", false},
        {"bsdtar --format zip --options zip:compression=store -cf ../out.zip *", false},
    };
    for (const auto& [writer, ascii] : writers) {
        const std::string bytes = ZipMadeBy(writer, ascii);
        ASSERT_FALSE(bytes.empty()) << writer;
        EXPECT_EQ(VerdictOf(bytes), "") << writer;
        StringSource source(bytes);
        size_t files = 0;
        for (const ZipEntry& entry : ReadZipDirectory(source, bytes.size())) {
            files += entry.isFolder ? 0 : 1;
        }
        EXPECT_EQ(files, 3u) << writer;
    }
}

}  // namespace

// The release tool's block matcher: each change to an earlier build costs its
// own bytes in the patch, and the operations it finds rebuild the new file
// exactly when the launcher's code applies them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "publish/delta_matcher.h"
#include "format/delta_apply.h"

namespace {

constexpr size_t KiB = 1024, MiB = 1024 * KiB;
const std::string Digest(64, 'a');

std::string RandomBytes(size_t size, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (size_t at = 0; at < size; at += 8) {
        const uint64_t value = random();
        std::memcpy(bytes.data() + at, &value, std::min<size_t>(8, size - at));
    }
    return bytes;
}

class StringRange : public ByteRangeSource {
  public:
    explicit StringRange(const std::string& bytes) : bytes_(bytes) {}
    void ReadAt(uint64_t offset, char* into, size_t count) override {
        if (offset > bytes_.size() || count > bytes_.size() - offset) throw std::out_of_range("");
        std::memcpy(into, bytes_.data() + offset, count);
    }

  private:
    const std::string& bytes_;
};

// Hands out bytes in uneven pieces, as a zip entry's reader does.
class StringStream : public ByteStream {
  public:
    explicit StringStream(const std::string& bytes) : bytes_(bytes) {}
    size_t Read(char* into, size_t most) override {
        const size_t count = std::min({most, bytes_.size() - at_, size_t{12345} + at_ % 7000});
        std::memcpy(into, bytes_.data() + at_, count);
        at_ += count;
        return count;
    }

  private:
    const std::string& bytes_;
    size_t at_ = 0;
};

class StringSink : public ByteSink {
  public:
    void Write(const char* data, size_t count) override { bytes.append(data, count); }
    std::string bytes;
};

struct Found {
    DeltaOutput output;
    size_t copies = 0;
};

// The delta of `next` against the earlier build `sources`, checked by
// rebuilding `next` from it through the reader and the applier.
Found DeltaOf(const std::vector<std::string>& sources, const std::string& next) {
    std::vector<uint64_t> sizes;
    DeltaOperations operations;
    for (size_t n = 0; n < sources.size(); ++n) {
        sizes.push_back(sources[n].size());
        operations.sources.push_back({std::to_string(n) + ".pak", sources[n].size(), Digest});
    }
    SourceBlockTable table(sizes);
    for (uint32_t n = 0; n < sources.size(); ++n) {
        for (size_t at = 0; at < sources[n].size(); at += 3001) {
            table.Add(n, sources[n].data() + at, std::min<size_t>(3001, sources[n].size() - at));
        }
    }
    std::vector<StringRange> ranges(sources.begin(), sources.end());
    const auto source = [&ranges](uint32_t n) -> ByteRangeSource& { return ranges.at(n); };
    StringStream stream(next);
    const std::vector<MatchedRun> runs = FindDeltaRuns(table, stream, next.size(), source);
    Found found{DeltaOutputOf(runs, "next", next.size(), Digest), 0};
    operations.outputs.push_back(found.output);
    const DeltaOperations read = ParseDeltaOperations(FormatDeltaOperations(operations));

    StringStream again(next);
    StringSink literals;
    WriteLiteralBytes(runs, again, literals);
    EXPECT_EQ(literals.bytes.size(), found.output.literalBytes);
    StringStream literalStream(literals.bytes);
    StringSink rebuilt;
    ApplyDeltaOutput(read, 0, source, literals.bytes.empty() ? nullptr : &literalStream, rebuilt);
    EXPECT_TRUE(rebuilt.bytes == next) << "the operations do not rebuild the file";
    for (const MatchedRun& run : runs) found.copies += run.source != LiteralSource;
    return found;
}

std::string Part(const std::string& bytes, size_t from, size_t count) {
    return bytes.substr(from, count);
}

TEST(DeltaMatcher, EachChangeCostsItsOwnBytes) {
    const std::string pack = RandomBytes(4 * MiB, 1);
    const std::string other = RandomBytes(3 * MiB + 777, 2);
    const std::string change = RandomBytes(1 * MiB, 3);
    const struct {
        const char* what;
        std::vector<std::string> sources;
        std::string next;
        uint64_t changed;  // the literal bytes at most, and a few bytes fewer at least
    } cases[] = {
        {"unchanged", {pack}, pack, 0},
        {"an overwrite inside",
         {pack},
         Part(pack, 0, MiB + 333) + Part(change, 0, 64 * KiB) +
             Part(pack, MiB + 333 + 64 * KiB, 3 * MiB),
         64 * KiB},
        {"an insertion near the start",
         {pack},
         Part(pack, 0, 5000) + Part(change, 0, 512 * KiB) + Part(pack, 5000, 4 * MiB),
         512 * KiB},
        {"an append", {pack}, pack + change, MiB},
        {"a change at the very start",
         {pack},
         std::string(1, 'X').append(Part(pack, 1, 4 * MiB)),
         1},
        {"a change at the very end", {pack}, Part(pack, 0, 4 * MiB - 1) + "X", 1},
        {"a block moved",
         {pack},
         Part(pack, 2 * MiB, MiB) + Part(pack, 0, 2 * MiB) + Part(pack, 3 * MiB, MiB),
         0},
        {"two files merged", {pack, other}, other + pack, 0},
        {"content of another file", {other, pack}, Part(pack, 1234, 2 * MiB), 0},
        {"an uneven tail", {other}, other + Part(change, 0, 100), 100},
    };
    for (const auto& c : cases) {
        const Found found = DeltaOf(c.sources, c.next);
        EXPECT_LE(found.output.literalBytes, c.changed) << c.what;
        EXPECT_GE(found.output.literalBytes + 8, c.changed) << c.what;
        EXPECT_EQ(DeltaIsSmaller(found.output), c.next.size() > 2 * c.changed) << c.what;
    }
}

TEST(DeltaMatcher, AFileSplitInTwoIsCopiedFromTheOneItWas) {
    const std::string pack = RandomBytes(2 * MiB + 5, 4);
    for (const std::string& half : {Part(pack, 0, MiB), Part(pack, MiB, MiB + 5)}) {
        const Found found = DeltaOf({RandomBytes(5000, 5), pack}, half);
        EXPECT_EQ(found.output.literalBytes, 0u);
        EXPECT_EQ(found.copies, 1u);
    }
}

TEST(DeltaMatcher, FilesWithNothingInCommonAreWrittenWhole) {
    const std::string pack = RandomBytes(MiB, 6);
    const struct {
        const char* what;
        std::vector<std::string> sources;
        std::string next;
    } cases[] = {
        {"an empty new file", {pack}, ""},
        {"an empty earlier build", {"", ""}, Part(pack, 0, 64 * KiB)},
        {"a file smaller than a block", {pack}, Part(pack, 0, 1000)},
        {"unrelated bytes", {pack}, RandomBytes(MiB, 7)},
    };
    for (const auto& c : cases) {
        const Found found = DeltaOf(c.sources, c.next);
        EXPECT_EQ(found.output.literalBytes, c.next.size()) << c.what;
        EXPECT_FALSE(DeltaIsSmaller(found.output)) << c.what;
    }
}

TEST(DeltaMatcher, TheBlockTableStaysBoundedAtAnyBuildSize) {
    const uint64_t GiB = 1024 * MiB;
    EXPECT_EQ(DeltaBlockSize(0), MinDeltaBlockSize);
    EXPECT_EQ(DeltaBlockSize(GiB), MinDeltaBlockSize) << "a 1 GiB build is matched finely";
    EXPECT_LE(DeltaTableBytes(GiB), 32 * MiB);
    for (const uint64_t size :
         {64 * GiB - 1, 64 * GiB, 64 * GiB + 1, 1024 * GiB, uint64_t{1} << 50}) {
        EXPECT_LE(DeltaTableBytes(size), DeltaTableLimit) << size;
        EXPECT_EQ(DeltaBlockSize(size) & (DeltaBlockSize(size) - 1), 0u) << size;
    }
    EXPECT_LE(DeltaBlockSize(64 * GiB), 8 * KiB) << "matches stay fine-grained at 64 GiB";
}

TEST(DeltaMatcher, AppliedLiteralsMustBeExactlyTheOperationsCount) {
    DeltaOperations operations;
    operations.sources = {{"s", 4, Digest}};
    operations.outputs = {{"o", 6, Digest, {{0, 0, 4}, {LiteralSource, 0, 2}}, 2}};
    const std::string source = "abcd";
    StringRange range(source);
    const auto sourceOf = [&range](uint32_t) -> ByteRangeSource& { return range; };
    for (const std::string literal : {"x", "xyz"}) {
        StringStream stream(literal);
        StringSink sink;
        EXPECT_THROW(ApplyDeltaOutput(operations, 0, sourceOf, &stream, sink), std::runtime_error)
            << literal;
    }
    StringSink sink;
    EXPECT_THROW(ApplyDeltaOutput(operations, 0, sourceOf, nullptr, sink), std::runtime_error);
    const std::string exact = "xy";
    StringStream stream(exact);
    ApplyDeltaOutput(operations, 0, sourceOf, &stream, sink);
    EXPECT_EQ(sink.bytes, "abcdxy");
}

}  // namespace

#include "publish/delta_matcher.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr size_t WindowCapacity = 8u << 20;
constexpr size_t CompareChunk = 64u << 10;

// The new file's bytes from `Start()` on, read once, in a buffer of bounded size.
class NewFileWindow {
  public:
    // A small file needs no more than its own size (small files are many).
    NewFileWindow(ByteStream& in, uint64_t size)
        : in_(in),
          size_(size),
          buffer_(static_cast<size_t>(std::min<uint64_t>(WindowCapacity, size))) {}

    // Pointer to the byte at `from`, with [from, to) buffered; bytes before
    // `keep` may be dropped, and are when the span would not fit otherwise.
    const char* Span(uint64_t from, uint64_t to, uint64_t keep) {
        if (from < start_ || to > size_) throw std::logic_error("new file window misused");
        if (to > start_ + length_) {
            keep = std::max(keep, to > buffer_.size() ? to - buffer_.size() : 0);
            keep = std::min(std::max(keep, start_), from);
            const size_t dropped = static_cast<size_t>(keep - start_);
            std::memmove(buffer_.data(), buffer_.data() + dropped, length_ - dropped);
            length_ -= dropped;
            start_ = keep;
            while (start_ + length_ < to) {
                const size_t room = static_cast<size_t>(
                    std::min<uint64_t>(buffer_.size() - length_, size_ - (start_ + length_)));
                const size_t got = in_.Read(buffer_.data() + length_, room);
                if (got == 0) throw std::runtime_error("A build file ended before its size");
                length_ += got;
            }
        }
        return buffer_.data() + (from - start_);
    }
    uint64_t Start() const { return start_; }
    uint64_t End() const { return start_ + length_; }

  private:
    ByteStream& in_;
    uint64_t size_;
    std::vector<char> buffer_;
    uint64_t start_ = 0;
    size_t length_ = 0;
};

}  // namespace

std::vector<MatchedRun> FindDeltaRuns(const SourceBlockTable& table, ByteStream& newFile,
                                      uint64_t newSize,
                                      const std::function<ByteRangeSource&(uint32_t)>& source) {
    const uint64_t blockSize = table.BlockSize();
    const RollingHash rolling(blockSize);
    NewFileWindow window(newFile, newSize);
    std::vector<char> sourceBytes(std::max<size_t>(CompareChunk, blockSize));
    std::vector<MatchedRun> runs;
    uint64_t literalStart = 0;  // where the bytes not yet matched begin
    uint64_t pos = 0;
    bool hashed = false;
    uint64_t hash = 0;
    while (newSize >= blockSize && pos <= newSize - blockSize) {
        // Roll along the buffered bytes until a block of the table begins at pos.
        const uint64_t spanEnd = std::min<uint64_t>(newSize, pos + WindowCapacity / 2);
        const char* at = window.Span(pos, spanEnd, literalStart);
        const uint64_t lastStart = spanEnd - blockSize;  // the last window start buffered
        uint32_t matchSource = 0;
        uint64_t matchOffset = 0;
        bool matched = false;
        for (;;) {
            if (!hashed) {
                hash = rolling.Of(at);
                hashed = true;
            }
            if (table.MayHold(hash) && table.Find(hash, matchSource, matchOffset)) {
                source(matchSource).ReadAt(matchOffset, sourceBytes.data(), blockSize);
                if (std::memcmp(sourceBytes.data(), at, blockSize) == 0) {
                    matched = true;
                    break;
                }
            }
            if (pos == lastStart) break;
            hash = rolling.Roll(hash, at[0], at[blockSize]);
            ++at;
            ++pos;
        }
        if (!matched) {
            if (spanEnd == newSize) break;
            continue;  // refill from pos, the window keeps its hash
        }
        // Backward, over bytes not yet matched and still buffered.
        uint64_t back = 0;
        const uint64_t backLimit =
            std::min(pos - std::max(literalStart, window.Start()), matchOffset);
        while (back < backLimit) {
            const size_t count =
                static_cast<size_t>(std::min<uint64_t>(CompareChunk, backLimit - back));
            const uint64_t from = matchOffset - back - count;
            source(matchSource).ReadAt(from, sourceBytes.data(), count);
            const char* mine = window.Span(pos - back - count, pos - back, window.Start());
            size_t same = 0;
            while (same < count && mine[count - 1 - same] == sourceBytes[count - 1 - same]) ++same;
            back += same;
            if (same < count) break;
        }
        // Forward, as far as both files agree.
        uint64_t end = pos + blockSize;
        uint64_t sourceAt = matchOffset + blockSize;
        const uint64_t sourceSize = table.SourceSize(matchSource);
        while (end < newSize && sourceAt < sourceSize) {
            const size_t count = static_cast<size_t>(
                std::min<uint64_t>({CompareChunk, newSize - end, sourceSize - sourceAt}));
            source(matchSource).ReadAt(sourceAt, sourceBytes.data(), count);
            const char* mine = window.Span(end, end + count, end);
            size_t same = 0;
            if (std::memcmp(mine, sourceBytes.data(), count) == 0) {
                same = count;
            } else {
                while (mine[same] == sourceBytes[same]) ++same;
            }
            end += same;
            sourceAt += same;
            if (same < count) break;
        }
        if (pos - back > literalStart) {
            runs.push_back({LiteralSource, 0, literalStart, pos - back - literalStart});
        }
        runs.push_back({matchSource, matchOffset - back, pos - back, end - (pos - back)});
        pos = literalStart = end;
        hashed = false;
    }
    if (newSize > literalStart) {
        runs.push_back({LiteralSource, 0, literalStart, newSize - literalStart});
    }
    return runs;
}

DeltaOutput DeltaOutputOf(const std::vector<MatchedRun>& runs, const std::string& path,
                          uint64_t size, const std::string& sha256) {
    DeltaOutput output{path, size, sha256, {}, 0};
    for (const MatchedRun& run : runs) {
        output.operations.push_back(
            {run.source, run.source == LiteralSource ? 0 : run.offset, run.length});
        if (run.source == LiteralSource) output.literalBytes += run.length;
    }
    return output;
}

bool DeltaIsSmaller(const DeltaOutput& output) {
    const bool copies = std::any_of(
        output.operations.begin(), output.operations.end(),
        [](const DeltaOperation& operation) { return operation.source != LiteralSource; });
    if (!copies) return false;
    DeltaOperations alone;
    alone.outputs.push_back(output);
    return output.literalBytes + FormatDeltaOperations(alone).size() < output.size;
}

void WriteLiteralBytes(const std::vector<MatchedRun>& runs, ByteStream& newFile, ByteSink& into) {
    std::vector<char> buffer(CompareChunk);
    uint64_t at = 0;  // bytes of the new file read so far
    for (const MatchedRun& run : runs) {
        if (run.source != LiteralSource) continue;
        for (uint64_t end = run.newOffset + run.length; at < end;) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(
                buffer.size(), at < run.newOffset ? run.newOffset - at : end - at));
            const size_t got = newFile.Read(buffer.data(), count);
            if (got == 0) throw std::runtime_error("A build file ended before its size");
            if (at >= run.newOffset) into.Write(buffer.data(), got);
            at += got;
        }
    }
}

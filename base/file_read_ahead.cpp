#include "base/file_read_ahead.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// Two pieces: the reader fills one while the caller takes the other, in turn.
struct Pieces {
    std::mutex lock;
    std::condition_variable changed;
    std::unique_ptr<char[]> bytes[2];
    DWORD sizes[2] = {0, 0};
    bool full[2] = {false, false};
    bool ended = false;   // the reader has read its last piece
    bool failed = false;  // a read failed before the end
    bool stop = false;    // the caller leaves early
};

void ReadPieces(HANDLE file, size_t pieceSize, Pieces& pieces) {
    uint64_t offset = 0;
    for (int slot = 0;; slot ^= 1) {
        {
            std::unique_lock<std::mutex> guard(pieces.lock);
            pieces.changed.wait(guard, [&] { return !pieces.full[slot] || pieces.stop; });
            if (pieces.stop) return;
        }
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        const BOOL read =
            ReadFile(file, pieces.bytes[slot].get(), static_cast<DWORD>(pieceSize), &got, &at);
        const bool atEnd = read ? got == 0 : GetLastError() == ERROR_HANDLE_EOF;
        std::lock_guard<std::mutex> guard(pieces.lock);
        if (!read || got == 0) {
            pieces.failed = !atEnd;
            pieces.ended = true;
            pieces.changed.notify_all();
            return;
        }
        pieces.sizes[slot] = got;
        pieces.full[slot] = true;
        pieces.changed.notify_all();
        offset += got;
    }
}

}  // namespace

bool ReadFileAhead(HANDLE file, size_t pieceSize,
                   const std::function<void(const char*, size_t)>& take) {
    Pieces pieces;
    for (auto& bytes : pieces.bytes) bytes.reset(new char[pieceSize]);
    std::thread reader(ReadPieces, file, pieceSize, std::ref(pieces));
    // The reader is stopped and joined however this ends.
    struct Join {
        Pieces& pieces;
        std::thread& reader;
        ~Join() {
            {
                std::lock_guard<std::mutex> guard(pieces.lock);
                pieces.stop = true;
            }
            pieces.changed.notify_all();
            reader.join();
        }
    } join{pieces, reader};
    for (int slot = 0;; slot ^= 1) {
        {
            std::unique_lock<std::mutex> guard(pieces.lock);
            pieces.changed.wait(guard, [&] { return pieces.full[slot] || pieces.ended; });
            // Pieces come in turn: an empty slot after the end means none is left.
            if (!pieces.full[slot]) return !pieces.failed;
        }
        take(pieces.bytes[slot].get(), pieces.sizes[slot]);
        {
            std::lock_guard<std::mutex> guard(pieces.lock);
            pieces.full[slot] = false;
        }
        pieces.changed.notify_all();
    }
}

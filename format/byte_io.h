#pragma once

#include <cstddef>
#include <cstdint>

// The three ways portable code reads and writes bytes it does not own. The
// launcher backs them with its storage file layer and CNG hashing, the release
// tool with POSIX files and OpenSSL; the code above them makes no system call.

// Bytes read at any offset of one file. Fails (throws) rather than return
// fewer bytes than asked for.
class ByteRangeSource {
  public:
    virtual ~ByteRangeSource() = default;
    virtual void ReadAt(uint64_t offset, char* into, size_t count) = 0;
};

// Bytes read in order; 0 only at the end.
class ByteStream {
  public:
    virtual ~ByteStream() = default;
    virtual size_t Read(char* into, size_t most) = 0;
};

// Bytes written in order (a file being written, a digest being taken).
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual void Write(const char* data, size_t count) = 0;
};

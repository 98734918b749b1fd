#include "base/file_read_ahead.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "base/long_path_files.h"
#include "tests/support/test_bed.h"

namespace {

// Bytes that differ at every offset, so a piece taken twice or out of turn shows.
std::string Counting(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

TEST(ReadFileAhead, GivesTheWholeFileInOrderAroundThePieceSize) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"file.bin";
    for (const size_t size : {0u, 1u, 4095u, 4096u, 4097u, 3 * 4096u + 17}) {
        const std::string bytes = Counting(size);
        WriteWholeFile(file, bytes, "write");
        const KernelHandle held =
            OpenLongPathFile(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        ASSERT_TRUE(held);
        std::string read;
        EXPECT_TRUE(ReadFileAhead(
            held.get(), 4096, [&](const char* piece, size_t count) { read.append(piece, count); }));
        EXPECT_EQ(read, bytes) << size;
    }
}

TEST(ReadFileAhead, AFailureOfTheCallerEndsTheReadingAndIsRaised) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"file.bin";
    WriteWholeFile(file, Counting(64 * 4096), "write");
    const KernelHandle held = OpenLongPathFile(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_TRUE(held);
    int pieces = 0;
    EXPECT_THROW(ReadFileAhead(held.get(), 4096,
                               [&](const char*, size_t) {
                                   if (++pieces == 3) throw std::runtime_error("full disk");
                               }),
                 std::runtime_error);
    EXPECT_EQ(pieces, 3);
}

}  // namespace

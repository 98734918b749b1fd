#include "service/digest.h"

#include <gtest/gtest.h>

#include "base/long_path_files.h"
#include "tests/support/test_bed.h"

namespace {

TEST(Sha256FileHex, MatchesKnownVectors) {
    // FIPS 180-4 examples.
    EXPECT_EQ(Sha256FileHex(test_bed::DataFile(L"empty.bin")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256FileHex(test_bed::DataFile(L"abc.bin")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256FileHex, HashesWholeFilesAroundTheReadSize) {
    // Expected values come from Python's hashlib at set-up.
    for (const wchar_t* name : {L"1MiB.bin", L"1MiB+1.bin", L"3MiB+5.bin", L"good.zip"}) {
        const std::string digest = Sha256FileHex(test_bed::DataFile(name));
        EXPECT_EQ(digest, test_bed::ExpectedSha256(name));
        EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(digest.size(), 64u);
    }
}

TEST(Sha256FileHex, HashesLargeFilesReadAheadLikeTheSameBytesInMemory) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"large.bin";
    std::string bytes((8u << 20) + 4097, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i ^ (i >> 13));
    WriteWholeFile(file, bytes, "write");
    const auto expected = Sha256Bytes(bytes, "hash");
    EXPECT_EQ(Sha256FileHex(file), LowerHex(expected.data(), expected.size()));
}

TEST(Sha256FileHex, MissingFileFails) {
    const std::filesystem::path missing = test_bed::FreshScratchFolder() / L"nothing.zip";
    EXPECT_EQ(ErrorMessageOf([&] { Sha256FileHex(missing); }),
              "Could not reopen the update archive");
    // A folder is not a readable file either.
    EXPECT_NE(ErrorMessageOf([&] { Sha256FileHex(test_bed::FreshScratchFolder()); }), "<no error>");
}

TEST(CheckCngStatus, RaisesOnlyForNegativeStatus) {
    EXPECT_EQ(ErrorMessageOf([] {
                  CheckCngStatus(static_cast<NTSTATUS>(0xC0000001),
                                 "Windows could not verify the update digest");
              }),
              "Windows could not verify the update digest");
    EXPECT_EQ(ErrorMessageOf([] { CheckCngStatus(0, "x"); }), "<no error>");
    EXPECT_EQ(ErrorMessageOf([] { CheckCngStatus(1, "x"); }), "<no error>");
}

TEST(LowerHex, WritesHighHalfFirstInLowercase) {
    const unsigned char bytes[] = {0x00, 0x0F, 0xA0, 0xFF, 0x5C};
    EXPECT_EQ(LowerHex(bytes, sizeof(bytes)), "000fa0ff5c");
    EXPECT_EQ(LowerHex(bytes, 0), "");
}

}  // namespace

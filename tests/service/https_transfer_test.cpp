#include "service/https_transfer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.h"
#include "store/storage.h"
#include "tests/support/test_bed.h"

namespace {

using test_bed::ServiceAddress;

std::string FetchError(const std::wstring& address, std::string* body = nullptr,
                       const std::filesystem::path* file = nullptr) {
    return ErrorMessageOf([&] { HttpsGet(address, body, file); });
}

// The log line the service wrote for the request whose line contains `marker`.
std::string LoggedRequest(const std::string& marker) {
    const std::vector<std::string> log = test_bed::RequestLog();
    const auto line = std::find_if(log.begin(), log.end(), [&](const std::string& l) {
        return l.find(marker) != std::string::npos;
    });
    return line == log.end() ? "<not requested>" : *line;
}

TEST(HttpsGet, FetchesAPublishedFileIntoMemory) {
    const std::wstring name = test_bed::UniqueName(L"manifest.json");
    test_bed::Publish(name, "{\"version\":\"1\"}\r\n");
    std::string body;
    HttpsGet(ServiceAddress(L"/files/" + name), &body, nullptr);
    EXPECT_EQ(body, "{\"version\":\"1\"}\r\n");
}

TEST(HttpsGet, MemoryModeAcceptsExactlyTheLimit) {
    std::string body;
    HttpsGet(ServiceAddress(L"/size/1048576/limit"), &body, nullptr);
    EXPECT_EQ(body.size(), ManifestTextLimit);

    std::string over;
    EXPECT_EQ(FetchError(ServiceAddress(L"/size/1048577/over"), &over),
              "The update manifest is unexpectedly large");
    EXPECT_LE(over.size(), ManifestTextLimit);

    std::string empty;
    HttpsGet(ServiceAddress(L"/size/0/empty"), &empty, nullptr);
    EXPECT_EQ(empty, "");
}

TEST(HttpsGet, StatusOtherThan200FailsAndCreatesNoFile) {
    const std::filesystem::path folder = test_bed::FreshScratchFolder();
    for (const wchar_t* status : {L"404", L"204", L"206", L"500", L"304"}) {
        const std::filesystem::path file = folder / (std::wstring(status) + L".zip");
        EXPECT_EQ(
            FetchError(ServiceAddress(L"/status/" + std::wstring(status) + L"/x"), nullptr, &file),
            "The update service returned an error")
            << Utf16ToUtf8(status);
        EXPECT_FALSE(std::filesystem::exists(file)) << Utf16ToUtf8(status);
    }
    std::string body;
    EXPECT_EQ(FetchError(ServiceAddress(L"/files/no-such-file"), &body),
              "The update service returned an error");
}

TEST(HttpsGet, RedirectsAreFollowed) {
    const std::wstring name = test_bed::UniqueName(L"target.txt");
    test_bed::Publish(name, "moved here");
    std::string body;
    HttpsGet(ServiceAddress(L"/redirect/302/files/" + name), &body, nullptr);
    EXPECT_EQ(body, "moved here");
    // What the redirect leads to is judged like any reply.
    std::string missing;
    EXPECT_EQ(FetchError(ServiceAddress(L"/redirect/301/status/404/gone"), &missing),
              "The update service returned an error");
}

TEST(HttpsGet, FileModeWritesTheBodyAndTruncatesAnOldFile) {
    const std::filesystem::path folder = test_bed::FreshScratchFolder();
    const std::filesystem::path file = folder / L"runtime.zip";
    WriteFileBytes(file, std::string(200000, 'o'));
    HttpsGet(ServiceAddress(L"/size/70000/body"), nullptr, &file);
    EXPECT_EQ(ReadFileBytes(file), std::string(70000, 'x'));

    HttpsGet(ServiceAddress(L"/size/0/empty"), nullptr, &file);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::file_size(file), 0u);

    // A body several transfer buffers long arrives byte for byte.
    test_bed::Publish(test_bed::UniqueName(L"big.bin"),
                      ReadFileBytes(test_bed::DataFile(L"3MiB+5.bin")));
    HttpsGet(ServiceAddress(L"/files/" + test_bed::UniqueName(L"big.bin")), nullptr, &file);
    EXPECT_EQ(ReadFileBytes(file), ReadFileBytes(test_bed::DataFile(L"3MiB+5.bin")));
}

TEST(HttpsGet, CutConnectionFailsAndLeavesThePartialFile) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"partial.zip";
    EXPECT_EQ(FetchError(ServiceAddress(L"/cut/100000/x"), nullptr, &file),
              "The update download was interrupted");
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_LE(std::filesystem::file_size(file), 100000u);

    std::string body;
    EXPECT_EQ(FetchError(ServiceAddress(L"/cut/10/y"), &body),
              "The update download was interrupted");
}

TEST(HttpsGet, MissingDestinationFolderFailsAfterTheStatusCheck) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"missing" / L"a.zip";
    EXPECT_EQ(FetchError(ServiceAddress(L"/size/10/x"), nullptr, &file),
              "Could not create the update archive");
    EXPECT_EQ(FetchError(ServiceAddress(L"/status/404/x"), nullptr, &file),
              "The update service returned an error");
}

TEST(HttpsGet, RefusesAddressesThatAreNotHttpsBeforeAnyTraffic) {
    const std::wstring port =
        ServiceAddress(L"").substr(std::wstring(L"https://localhost:").size());
    const std::wstring addresses[] = {
        L"http://localhost:" + port + L"/files/plain-http",
        L"ftp://localhost/files/ftp",
        L"localhost:" + port + L"/files/no-scheme",
        L"not an address",
        L"",
        L"https://",
    };
    for (const std::wstring& address : addresses) {
        std::string body;
        EXPECT_EQ(FetchError(address, &body), "The update URL is invalid or insecure")
            << Utf16ToUtf8(address);
    }
    EXPECT_EQ(LoggedRequest("plain-http"), "<not requested>");
    EXPECT_EQ(LoggedRequest("no-scheme"), "<not requested>");
}

TEST(HttpsGet, RefusesAnUntrustedCertificate) {
    std::string body;
    EXPECT_EQ(FetchError(ServiceAddress(L"/size/5/untrusted", false), &body),
              "The update service could not be reached");
    EXPECT_EQ(body, "");
}

TEST(HttpsGet, UnreachableServiceFails) {
    std::string body;
    // Port 1 on loopback: nothing listens there.
    EXPECT_EQ(FetchError(L"https://localhost:1/x", &body),
              "The update service could not be reached");
}

TEST(HttpsGet, SendsPathAndQueryAsWrittenWithTheUserAgent) {
    const std::wstring name = test_bed::UniqueName(L"q.json");
    test_bed::Publish(name, "ok");
    std::string body;
    HttpsGet(ServiceAddress(L"/files/" + name + L"?version=0.1.136&x=%41b"), &body, nullptr);
    EXPECT_EQ(body, "ok");
    const std::string path = "/files/" + Utf16ToUtf8(name);
    EXPECT_EQ(
        LoggedRequest(path),
        "GET " + path + "?version=0.1.136&x=%41b HTTP/1.1\tTessikLauncher/2 (native Windows)");
}

TEST(HttpsGet, AddressWithoutPathRequestsTheRoot) {
    std::string body;
    // The service answers "/" with 400; what matters is the request line it logged.
    EXPECT_EQ(FetchError(ServiceAddress(L""), &body), "The update service returned an error");
    // No other test requests the bare root, so any such line is this one's.
    const std::vector<std::string> log = test_bed::RequestLog();
    EXPECT_NE(
        std::find(log.begin(), log.end(), "GET / HTTP/1.1\tTessikLauncher/2 (native Windows)"),
        log.end());
}

TEST(HttpsGet, WithoutDestinationReadsAndDropsTheBody) {
    EXPECT_EQ(
        ErrorMessageOf([] { HttpsGet(ServiceAddress(L"/size/2000000/drop"), nullptr, nullptr); }),
        "<no error>");
}

}  // namespace

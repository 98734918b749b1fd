#include "service/https_transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "base/text.h"
#include "service/transfer_rules.h"
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

// --- A bad network (the test program links bounds of seconds) ---

TEST(TransferRules, JudgeRatesRangesValidatorsAndTries) {
    const TransferBounds& bounds = ActiveTransferBounds();
    StallWatch watch(10000, 65536, 0);
    watch.Record(5000, 65535);
    EXPECT_FALSE(watch.Stalled(9999)) << "no judgement before a whole window";
    EXPECT_TRUE(watch.Stalled(10000));
    watch.Record(12000, 65536 + 10);
    EXPECT_FALSE(watch.Stalled(12000));
    EXPECT_TRUE(watch.Stalled(23000)) << "the window slides: old bytes no longer count";

    struct RangeCase {
        const char* header;
        bool valid;
        std::uint64_t first, total;
    };
    for (const RangeCase& c : std::vector<RangeCase>{{"bytes 100-199/200", true, 100, 200},
                                                     {"bytes 0-0/1", true, 0, 1},
                                                     {"bytes 100-199/*", false, 0, 0},
                                                     {"bytes 100-200/200", false, 0, 0},
                                                     {"bytes 5-4/10", false, 0, 0},
                                                     {"bytes -1-4/10", false, 0, 0},
                                                     {"items 0-1/2", false, 0, 0},
                                                     {"bytes 1-2/3x", false, 0, 0}}) {
        const auto range = ParseContentRange(c.header);
        ASSERT_EQ(range.has_value(), c.valid) << c.header;
        if (range) {
            EXPECT_EQ(std::make_pair(range->first, range->total), std::make_pair(c.first, c.total))
                << c.header;
        }
    }
    EXPECT_TRUE(IsStrongEntityTag("\"abc\""));
    EXPECT_FALSE(IsStrongEntityTag("W/\"abc\""));
    EXPECT_FALSE(IsStrongEntityTag("abc"));
    EXPECT_FALSE(IsStrongEntityTag("\"a\"b\""));

    ResumeBudget poor;
    std::vector<std::uint32_t> pauses;
    while (const auto pause = poor.NextPause(1000, bounds)) pauses.push_back(*pause);
    EXPECT_EQ(pauses, (std::vector<std::uint32_t>{100, 200, 400, 800})) << "5 poor tries in all";
    ResumeBudget good;
    int tries = 1;
    while (good.NextPause(2 << 20, bounds)) ++tries;
    EXPECT_EQ(tries, 20);
}

DownloadOptions Ranged() {
    DownloadOptions options;
    options.byteRanges = true;
    return options;
}

// A file published for one test, and the bytes it should arrive as.
std::pair<std::wstring, std::string> PublishedBig(const std::wstring& stem) {
    const std::wstring name = test_bed::UniqueName(stem);
    const std::string bytes = ReadFileBytes(test_bed::DataFile(L"3MiB+5.bin"));
    test_bed::Publish(name, bytes);
    return {name, bytes};
}

std::chrono::milliseconds Took(const std::function<void()>& action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

TEST(HttpsGet, StalledExchangesFailWithinTheirBounds) {
    const TransferBounds& bounds = ActiveTransferBounds();
    const std::wstring manifest = test_bed::UniqueName(L"padded.json");
    test_bed::Publish(manifest, std::string(2048, ' ') + "{}");
    // Large enough that reads have grown when the line turns to a trickle.
    const std::wstring large = test_bed::UniqueName(L"large.zip");
    test_bed::Publish(large, ReadFileBytes(test_bed::DataFile(L"big.zip")));
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"stalled.zip";
    struct StallCase {
        const char* what;
        std::wstring address;
        bool toFile;
        std::uint32_t bound;
    };
    const std::vector<StallCase> cases = {
        {"trickled manifest", ServiceAddress(L"/ranged/trickle=500/" + manifest), false,
         bounds.manifestMs},
        {"manifest headers held", ServiceAddress(L"/delay/30000/files/" + manifest), false,
         bounds.manifestMs},
        {"download headers held", ServiceAddress(L"/delay/30000/size/10/x"), true,
         bounds.headersMs},
        {"trickled download", ServiceAddress(L"/ranged/trickle=200/" + manifest), true,
         bounds.rateWindowMs},
        {"download trickled after 4 MiB",
         ServiceAddress(L"/ranged/trickle=500,after=4194304/" + large), true, bounds.rateWindowMs},
    };
    for (const StallCase& c : cases) {
        std::string body;
        std::string error;
        const auto took =
            Took([&] { error = FetchError(c.address, &body, c.toFile ? &file : nullptr); });
        EXPECT_EQ(error, "The update service stopped sending data") << c.what;
        EXPECT_GE(took.count(), c.bound - 100) << c.what;
        EXPECT_LE(took.count(), c.bound + 2500) << c.what;
    }
}

TEST(HttpsDownload, ABodyThatFallsSilentIsAStallAndNotTriedAgain) {
    // WinHTTP's own wait for the body ends first; that is a stall too, not a
    // break to resume.
    const TransferBounds& bounds = ActiveTransferBounds();
    ASSERT_LT(bounds.bodyReceiveMs, bounds.rateWindowMs);
    const auto [name, bytes] = PublishedBig(L"silent.bin");
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"silent.zip";
    std::string error;
    const auto took = Took([&] {
        error = ErrorMessageOf(
            [&] { HttpsDownload(ServiceAddress(L"/ranged/stop=65536/" + name), file, Ranged()); });
    });
    EXPECT_EQ(error, "The update service stopped sending data");
    EXPECT_LE(took.count(), bounds.rateWindowMs + 2500);
    const std::vector<std::string> log = test_bed::RequestLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [&](const std::string& line) {
                                return line.find(Utf16ToUtf8(name)) != std::string::npos;
                            }),
              1);
}

TEST(HttpsGet, SlowButSteadyDownloadIsNotCut) {
    const auto [name, bytes] = PublishedBig(L"steady.bin");
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"steady.zip";
    // 64 KiB every 0.7 s, over 20 s in all: each window holds more than the floor.
    const std::uint32_t window = ActiveTransferBounds().rateWindowMs;
    const auto took =
        Took([&] { HttpsDownload(ServiceAddress(L"/ranged/pace=700/" + name), file, {}); });
    EXPECT_EQ(ReadFileBytes(file), bytes);
    EXPECT_GT(took.count(), 3 * window);
}

TEST(HttpsDownload, BrokenConnectionsResumeWithinOneCall) {
    const auto [name, bytes] = PublishedBig(L"cut.bin");
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"cut.zip";
    std::uint64_t lastSeen = 0;
    bool rising = true;
    DownloadOptions options;
    options.byteRanges = true;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        rising = rising && done >= lastSeen && total == bytes.size();
        lastSeen = done;
    };
    HttpsDownload(ServiceAddress(L"/ranged/cut=900000,cuts=3/" + name), file, options);
    EXPECT_EQ(ReadFileBytes(file), bytes);
    EXPECT_FALSE(std::filesystem::exists(DownloadValidatorPath(file)));
    EXPECT_TRUE(rising);
    EXPECT_EQ(lastSeen, bytes.size());
    const auto replies = test_bed::RangedReplies(name);
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[1].status, 206);
    // From where the first reply broke (what the reset dropped is asked again).
    EXPECT_EQ(replies[1].range.rfind("bytes=", 0), 0u);
    EXPECT_NE(replies[1].range, "bytes=0-");
    EXPECT_LE(test_bed::BytesServed(name), bytes.size() * 11 / 10);
}

TEST(HttpsDownload, RepliesThatCannotContinueTheFileStartOver) {
    // Each is cut once after 1 MB; the second request cannot resume.
    for (const std::wstring options : {L"norange", L"badrange", L"weak", L"noetag"}) {
        const auto [name, bytes] = PublishedBig(L"over-" + options + L".bin");
        const std::filesystem::path file = test_bed::FreshScratchFolder(options) / L"a.zip";
        HttpsDownload(ServiceAddress(L"/ranged/cut=1000000,cuts=1," + options + L"/" + name), file,
                      Ranged());
        EXPECT_EQ(ReadFileBytes(file), bytes) << Utf16ToUtf8(options);
        const auto replies = test_bed::RangedReplies(name);
        ASSERT_FALSE(replies.empty());
        EXPECT_EQ(replies.back().status, 200) << Utf16ToUtf8(options);
        EXPECT_EQ(replies.back().sent, bytes.size()) << Utf16ToUtf8(options);
    }
}

TEST(HttpsDownload, AFileOverItsLimitFails) {
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"build.index";
    DownloadOptions bounded;
    bounded.maxBytes = 69999;
    EXPECT_EQ(
        ErrorMessageOf([&] { HttpsDownload(ServiceAddress(L"/size/70000/body"), file, bounded); }),
        "The update file is larger than expected");
    bounded.maxBytes = 70000;
    HttpsDownload(ServiceAddress(L"/size/70000/body"), file, bounded);
    EXPECT_EQ(std::filesystem::file_size(file), 70000u);
}

TEST(HttpsDownload, WithoutRangesABreakFailsAndNoRangeIsAsked) {
    const auto [name, bytes] = PublishedBig(L"plain.bin");
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"plain.zip";
    EXPECT_EQ(ErrorMessageOf(
                  [&] { HttpsDownload(ServiceAddress(L"/ranged/cut=500000/" + name), file, {}); }),
              "The update download was interrupted");
    const auto replies = test_bed::RangedReplies(name);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].range, "");
    EXPECT_FALSE(std::filesystem::exists(DownloadValidatorPath(file)));
}

TEST(HttpsDownload, APartialFileIsContinuedByTheNextCallUnlessTheFileChanged) {
    const auto [name, bytes] = PublishedBig(L"later.bin");
    const std::filesystem::path file = test_bed::FreshScratchFolder() / L"later.zip";
    const DownloadOptions options = Ranged();
    // Every request cut after 500,000 bytes: five poor tries in a row give up.
    const auto giveUp = [&] {
        return ErrorMessageOf(
            [&] { HttpsDownload(ServiceAddress(L"/ranged/cut=500000/" + name), file, options); });
    };
    EXPECT_EQ(giveUp(), "The update download was interrupted");
    const std::uint64_t kept = std::filesystem::file_size(file);
    EXPECT_GT(kept, 1000000u);
    EXPECT_LE(kept, 5u * 500000);
    ASSERT_TRUE(std::filesystem::exists(DownloadValidatorPath(file)));

    const std::uint64_t before = test_bed::BytesServed(name);
    HttpsDownload(ServiceAddress(L"/ranged/-/" + name), file, options);
    EXPECT_EQ(ReadFileBytes(file), bytes);
    EXPECT_LE(test_bed::BytesServed(name) - before, (bytes.size() - kept) * 11 / 10);

    // A file that changed since: If-Range fails and the new bytes arrive whole.
    EXPECT_EQ(giveUp(), "The update download was interrupted");
    const std::string changed(bytes.rbegin(), bytes.rend());
    test_bed::Publish(name, changed);
    HttpsDownload(ServiceAddress(L"/ranged/-/" + name), file, options);
    EXPECT_EQ(ReadFileBytes(file), changed);
    EXPECT_EQ(test_bed::RangedReplies(name).back().status, 200);
}

}  // namespace

// A hostile or broken update service against the real launcher executable.
#include <gtest/gtest.h>

#include "base/text.h"
#include "store/storage.h"
#include "tests/hostile/hostile_support.h"

namespace {

namespace fs = std::filesystem;
using test_bed::Listener;

const std::string Unreachable = "The update service could not be reached";
const std::string ServiceError = "The update service returned an error";
const std::string Interrupted = "The update download was interrupted";

// The manifest of the good test build, published; returns its path on the service.
std::wstring PublishGoodManifest(const std::wstring& archiveAddressPath = L"") {
    const std::wstring zip = test_bed::UniqueName(L"good.zip");
    test_bed::Publish(zip, ReadFileBytes(test_bed::DataFile(L"good.zip")));
    const std::wstring name = test_bed::UniqueName(L"manifest.json");
    const std::wstring archive = archiveAddressPath.empty() ? L"/files/" + zip : archiveAddressPath;
    const bool plain = archive.rfind(L"http", 0) == 0;
    test_bed::Publish(
        name, test_bed::ManifestJson("0.2", plain ? archive : test_bed::ServiceAddress(archive),
                                     test_bed::ExpectedSha256(L"good.zip")));
    return L"/files/" + name;
}

std::vector<Attack> ServiceAttacks() {
    const auto manifestAt = [](std::function<std::wstring()> address) {
        return [address](PlayerMachine& p) { p.PointGameManifestAt(address()); };
    };
    return {
        {"connection refused",
         manifestAt([] { return std::wstring(L"https://localhost:1/m.json"); }),
         {Unreachable}},
        {"closed after the headers",
         manifestAt([] { return test_bed::ServiceAddress(L"/headersonly/4000/m.json"); }),
         // Wine reads a clean early close as a complete, empty body.
         {Interrupted, "The update manifest is missing version"}},
        {"closed in the body",
         manifestAt([] { return test_bed::ServiceAddress(L"/cut/300/m.json"); }),
         {Interrupted}},
        {"untrusted authority",
         manifestAt(
             [] { return test_bed::ListenerAddress(Listener::Untrusted, PublishGoodManifest()); }),
         {Unreachable}},
        {"certificate for another host",
         manifestAt(
             [] { return test_bed::ListenerAddress(Listener::WrongHost, PublishGoodManifest()); }),
         {Unreachable}},
        {"301 to http",
         manifestAt(
             [] { return test_bed::ServiceAddress(L"/tohttp/301" + PublishGoodManifest()); }),
         {ServiceError, Unreachable}},
        {"302 to http",
         manifestAt(
             [] { return test_bed::ServiceAddress(L"/tohttp/302" + PublishGoodManifest()); }),
         {ServiceError, Unreachable}},
        {"404",
         manifestAt([] { return test_bed::ServiceAddress(L"/status/404/m.json"); }),
         {ServiceError}},
        {"500",
         manifestAt([] { return test_bed::ServiceAddress(L"/status/500/m.json"); }),
         {ServiceError}},
        {"204",
         manifestAt([] { return test_bed::ServiceAddress(L"/status/204/m.json"); }),
         {ServiceError}},
        {"206",
         manifestAt([] { return test_bed::ServiceAddress(L"/status/206/m.json"); }),
         {ServiceError}},
        {"archive cut in the body",
         manifestAt([] {
             const std::wstring zip = test_bed::UniqueName(L"good.zip");
             test_bed::Publish(zip, ReadFileBytes(test_bed::DataFile(L"good.zip")));
             return test_bed::ServiceAddress(PublishGoodManifest(L"/cutfile/20000/" + zip));
         }),
         {Interrupted}},
        {"archive redirected to http",
         manifestAt([] {
             const std::wstring zip = test_bed::UniqueName(L"good.zip");
             test_bed::Publish(zip, ReadFileBytes(test_bed::DataFile(L"good.zip")));
             return test_bed::ServiceAddress(PublishGoodManifest(L"/tohttp/302/files/" + zip));
         }),
         {ServiceError, Unreachable}},
        {"archive from an untrusted authority",
         manifestAt([] {
             const std::wstring zip = test_bed::UniqueName(L"good.zip");
             test_bed::Publish(zip, ReadFileBytes(test_bed::DataFile(L"good.zip")));
             return test_bed::ServiceAddress(PublishGoodManifest(
                 test_bed::ListenerAddress(Listener::Untrusted, L"/files/" + zip)));
         }),
         {Unreachable}},
    };
}

TEST(ServiceAttacks, PlayerWithABuildAlwaysGetsIntoIt) {
    for (const Attack& attack : ServiceAttacks()) {
        PlayerMachine player(Utf8ToUtf16(attack.name));
        StoreWorkingBuild(player);
        attack.arrange(player);
        const MachineWatch watch(player);
        const LauncherRunOutcome run =
            RunLauncherToTheEnd(test_bed::LauncherProgram(), {L"tessik://join/hostile"});
        ASSERT_TRUE(run.ended) << attack.name << ": the launcher hung";
        EXPECT_EQ(run.exitCode, 0u) << attack.name;
        EXPECT_FALSE(run.errorBox)
            << attack.name << ": " << Utf16ToUtf8(run.errorBox.value_or(L""));
        EXPECT_EQ(player.Game().folder, player.Build(L"0.1.136")) << attack.name;
        watch.ExpectUntouched(attack.name);
    }
}

TEST(ServiceAttacks, PlayerWithoutABuildIsToldWhy) {
    for (const Attack& attack : ServiceAttacks()) {
        PlayerMachine player(Utf8ToUtf16(attack.name));
        attack.arrange(player);
        const MachineWatch watch(player);
        const LauncherRunOutcome run =
            RunLauncherToTheEnd(test_bed::LauncherProgram(), {L"tessik://join/hostile"});
        ASSERT_TRUE(run.ended) << attack.name << ": the launcher hung";
        ASSERT_TRUE(run.errorBox) << attack.name << ": no error shown";
        const std::string shown = Utf16ToUtf8(*run.errorBox);
        EXPECT_NE(std::find(attack.messages.begin(), attack.messages.end(), shown),
                  attack.messages.end())
            << attack.name << ": " << shown;
        EXPECT_FALSE(player.Game(std::chrono::milliseconds(200)).ran) << attack.name;
        EXPECT_FALSE(fs::exists(player.Root() / L"versions" / L"0.2")) << attack.name;
        watch.ExpectUntouched(attack.name);
    }
}

}  // namespace

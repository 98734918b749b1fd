// Hostile manifests and archives, through the update worker's whole flow.
#include <gtest/gtest.h>

#include "base/text.h"
#include "build_config.h"
#include "store/launcher_state.h"
#include "store/partial_download.h"
#include "store/storage.h"
#include "tests/hostile/hostile_support.h"

namespace {

namespace fs = std::filesystem;

const std::string Digest = std::string(64, '0');

// A manifest padded with an extra key to exactly `size` bytes.
std::string PaddedManifest(const std::string& manifest, size_t size) {
    const std::string open = "{\"padding\":\"";
    const std::string close = "\",";
    const size_t fill = size - manifest.size() - open.size() - close.size() + 1;
    return open + std::string(fill, 'p') + close + manifest.substr(1);
}

std::string GoodManifest(const std::string& version = "0.2") {
    const std::wstring zip = test_bed::UniqueName(L"good.zip");
    test_bed::Publish(zip, ReadFileBytes(test_bed::DataFile(L"good.zip")));
    return test_bed::ManifestJson(version, test_bed::ServiceAddress(L"/files/" + zip),
                                  test_bed::ExpectedSha256(L"good.zip"));
}

Attack ManifestText(const char* name, std::function<std::string(PlayerMachine&)> text,
                    std::vector<std::string> messages) {
    return {name, [text](PlayerMachine& p) { p.PublishGameManifest(text(p)); },
            std::move(messages)};
}

Attack Archive(const char* name, const wchar_t* archive, std::vector<std::string> messages) {
    return {name, [archive](PlayerMachine& p) { p.PublishGame("0.2", archive); },
            std::move(messages)};
}

std::vector<Attack> ContentAttacks() {
    const std::string unsafe = "The update manifest names an unsafe version";
    const std::string unsafePath = "The update archive contains an unsafe path";
    const std::string noGame = "The update archive is missing tessik.exe";
    const std::string unpack = "Windows could not unpack the verified update";
    const std::string link = "The update archive contains a link";
    const std::string windowsNames = "The update holds names Windows cannot store as published";
    const std::string notZip = "The update archive is not a readable zip";
    std::vector<Attack> attacks = {
        ManifestText("manifest one byte over 1 MiB",
                     [](PlayerMachine&) { return PaddedManifest(GoodManifest(), 1048577); },
                     {"The update manifest is unexpectedly large"}),
        ManifestText("manifest without url",
                     [](PlayerMachine&) { return std::string("{\"version\":\"0.2\"}"); },
                     {"The update manifest is missing url"}),
        ManifestText("manifest without sha256",
                     [](PlayerMachine&) {
                         return std::string("{\"version\":\"0.2\",\"url\":\"https://x/\"}");
                     },
                     {"The update manifest is missing sha256"}),
        ManifestText("manifest malformed",
                     [](PlayerMachine&) { return std::string("{\"version\" 7"); },
                     {"The update manifest is malformed"}),
        ManifestText("manifest with \\u escape",
                     [](PlayerMachine&) { return std::string("{\"version\":\"\\u0030\"}"); },
                     {"The update manifest contains an unsupported escape"}),
        ManifestText("manifest unterminated",
                     [](PlayerMachine&) { return std::string("{\"version\":\"0.2"); },
                     {"The update manifest contains an unterminated string"}),
        ManifestText("url scheme HTTPS://",
                     [](PlayerMachine&) {
                         return test_bed::ManifestJson("0.2", L"HTTPS://localhost/x.zip", Digest);
                     },
                     {"The update manifest does not use HTTPS"}),
        ManifestText("digest one bit off",
                     [](PlayerMachine&) {
                         std::string m = GoodManifest();
                         // The digest's lowest bit flipped.
                         const std::string hex = "0123456789abcdef";
                         const size_t at = m.find(test_bed::ExpectedSha256(L"good.zip")) + 63;
                         m[at] = hex[hex.find(m[at]) ^ 1];
                         return m;
                     },
                     {"Downloaded update failed its SHA-256 check"}),
    };
    for (const char* version : {"", ".", "..", "../x", "..\\\\x", "x/y", "C:", "C:\\\\x", "CON",
                                "nul.zip", "COM1", "1.0.", "1.0 ", "a*b", "a\\\"b"}) {
        attacks.push_back({version,
                           [version](PlayerMachine& p) {
                               const std::wstring zip = test_bed::UniqueName(L"good.zip");
                               test_bed::Publish(zip,
                                                 ReadFileBytes(test_bed::DataFile(L"good.zip")));
                               p.PublishGameManifest(test_bed::ManifestJson(
                                   version, test_bed::ServiceAddress(L"/files/" + zip),
                                   test_bed::ExpectedSha256(L"good.zip")));
                           },
                           {unsafe}});
    }
    const std::vector<Attack> archives = {
        Archive("entry ../x", L"parent.zip", {unsafePath}),
        Archive("entry a/../../x", L"nested-parent.zip", {unsafePath}),
        Archive("entry /x", L"absolute.zip", {unsafePath}),
        Archive("entry \\x", L"rooted-backslash.zip", {unsafePath}),
        Archive("entry C:x", L"drive-relative.zip", {unsafePath}),
        Archive("entry C:\\x", L"drive.zip", {unsafePath}),
        Archive("entry ./x", L"dot.zip", {unsafePath}),
        Archive("names with CR LF", L"crlf-names.zip", {noGame}),
        Archive("tessik.exe only in a sub-folder", L"nested-exe.zip", {noGame}),
        Archive("TESSIK.EXE", L"capital-exe.zip", {noGame}),
        Archive("truncated zip", L"truncated.zip", {notZip}),
        Archive("damaged zip", L"damaged.zip", {notZip}),
        Archive("central directory lies", L"lying-central.zip", {notZip}),
        Archive("local header lies", L"lying-local.zip", {notZip}),
        Archive("tessik.exe, then TESSIK.EXE", L"case-twin-exe.zip", {windowsNames}),
        Archive("symbolic link out of the build", L"symlink.zip", {link}),
        Archive("link to a folder outside", L"link-outside.zip", {link}),
        Archive("link, then a damaged entry", L"link-then-damaged.zip", {link}),
        Archive("link to a file outside", L"file-link-outside.zip", {link}),
        Archive("tessik.exe of 0 bytes", L"empty-exe.zip", {"Windows could not start TESSIK"}),
    };
    attacks.insert(attacks.end(), archives.begin(), archives.end());
    return attacks;
}

TEST(ContentAttacks, PlayerWithABuildAlwaysGetsIntoIt) {
    for (const Attack& attack : ContentAttacks()) {
        PlayerMachine player(Utf8ToUtf16(attack.name));
        StoreWorkingBuild(player);
        attack.arrange(player);
        const MachineWatch watch(player);
        const PlayerMachine::Outcome run = player.Run();
        EXPECT_EQ(run.started, 1u) << attack.name << ": " << Utf16ToUtf8(run.failure);
        watch.ExpectOutsideUntouched(attack.name);
        if (attack.messages.empty()) continue;  // a harmless archive installs
        EXPECT_EQ(player.Game().folder, player.Build(L"0.1.136")) << attack.name;
        if (attack.name != std::string("tessik.exe of 0 bytes")) watch.ExpectUntouched(attack.name);
    }
}

TEST(ContentAttacks, PlayerWithoutABuildIsToldWhy) {
    for (const Attack& attack : ContentAttacks()) {
        PlayerMachine player(Utf8ToUtf16(attack.name));
        attack.arrange(player);
        const MachineWatch watch(player);
        const PlayerMachine::Outcome run = player.Run();
        if (attack.messages.empty()) {
            // It installs, and what it holds stays inside its build folder.
            EXPECT_EQ(run.started, 1u) << attack.name << ": " << Utf16ToUtf8(run.failure);
            watch.ExpectOutsideUntouched(attack.name);
            EXPECT_FALSE(fs::exists(player.Root() / L"evil.txt")) << attack.name;
            EXPECT_FALSE(fs::exists(player.Root() / L"versions" / L"evil.txt")) << attack.name;
            continue;
        }
        EXPECT_EQ(run.started, 0u) << attack.name;
        const std::string shown = Utf16ToUtf8(run.failure);
        EXPECT_NE(std::find(attack.messages.begin(), attack.messages.end(), shown),
                  attack.messages.end())
            << attack.name << ": " << shown;
        watch.ExpectOutsideUntouched(attack.name);
        if (shown != "Windows could not start TESSIK") {
            EXPECT_EQ(test_bed::TreeOf(player.Root() / L"versions"), std::vector<std::wstring>{})
                << attack.name;
            watch.ExpectUntouched(attack.name);
        }
    }
}

TEST(ContentAttacks, AVersionDifferingOnlyInCaseStartsTheRecordedBuild) {
    // NTFS would open the recorded build's folder for the other version.
    PlayerMachine player;
    const fs::path recorded = player.StoreBuild(L"1.0.0-RC1");
    WriteLauncherState(player.StateFile(), LauncherState{"1.0.0-RC1", recorded});
    player.PublishGame("1.0.0-rc1");
    const MachineWatch watch(player);
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    EXPECT_EQ(player.Game().folder, recorded);
    watch.ExpectUntouched("version differing only in case");
}

TEST(ContentAttacks, ManifestOfExactly1MiBIsAccepted) {
    PlayerMachine player;
    const std::string manifest = PaddedManifest(GoodManifest(), 1048576);
    ASSERT_EQ(manifest.size(), 1048576u);
    player.PublishGameManifest(manifest);
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    EXPECT_EQ(player.Game().folder, player.Build(L"0.2"));
}

TEST(ContentAttacks, LauncherManifestNamingTheGameIsIgnored) {
    PlayerMachine player;
    player.PublishGame("0.2");
    const std::wstring name = test_bed::UniqueName(L"launcher-tessik.json");
    test_bed::Publish(
        name, test_bed::ManifestJson("0.1.191", test_bed::ServiceAddress(L"/files/x.exe"), Digest,
                                     "tessik.exe"));
    player.PointLauncherManifestAt(test_bed::ServiceAddress(L"/files/" + name));
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 1u);
    EXPECT_EQ(
        std::count(run.statuses.begin(), run.statuses.end(), L"Downloading launcher update..."), 0);
    EXPECT_EQ(player.Game().folder, player.Build(L"0.2"));
    EXPECT_FALSE(fs::exists(player.Root() / L"launcher-update-0.1.191.exe"));
}

TEST(ContentAttacks, TwentyThousandEntriesInstall) {
    PlayerMachine player;
    player.PublishGame("0.2", L"many.zip");
    const auto start = std::chrono::steady_clock::now();
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
    EXPECT_TRUE(fs::exists(player.Build(L"0.2") / L"assets" / L"19" / L"f19998.txt"));
}

TEST(BrokenState, PlayerStillGetsIntoTheGameWhenTheServiceWorks) {
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"garbage", std::string("\x00\xFF garbage {{{", 16)},
        {"empty", ""},
        {"\\u escape", "{\"version\":\"\\u0030\",\"path\":\"C:\\\\x\"}"},
        {"deleted folder", "{\"version\":\"0.2\",\"path\":\"C:\\\\gone\\\\versions\\\\0.2\"}"},
    };
    for (const Case& c : cases) {
        PlayerMachine player(Utf8ToUtf16(c.name));
        player.PublishGame("0.2");
        fs::create_directories(player.Root());
        WriteFileBytes(player.StateFile(), c.content);
        const PlayerMachine::Outcome run = player.Run();
        EXPECT_EQ(run.started, 1u) << c.name << ": " << Utf16ToUtf8(run.failure);
        EXPECT_EQ(player.Game().folder, player.Build(L"0.2")) << c.name;
        EXPECT_EQ(ReadLauncherState(player.StateFile()).path, player.Build(L"0.2")) << c.name;
    }
}

// Everything on the small disk (8 MiB) runs in this one test, so that no
// other test fills it meanwhile.
TEST(FullDisk, ABuildThatCannotFitIsRefusedBeforeItsBodyAndNothingOfItStays) {
    if (!fs::exists(L"S:\\")) GTEST_SKIP() << "no small disk: mounting a tmpfs was not allowed";
    PlayerMachine player;
    const fs::path appData = fs::path(L"S:\\") / test_bed::UniqueName(L"AppData");
    fs::remove_all(appData);
    ScopedVariable onSmallDisk(L"APPDATA", appData.wstring());
    const fs::path root = appData / L"Tessik" / L"launcher";
    // Whatever the launcher left: staging folders, partial downloads, validators.
    const auto leftovers = [&] {
        std::vector<std::wstring> left;
        for (const auto& entry : fs::directory_iterator(root)) {
            const std::wstring name = entry.path().filename().wstring();
            if (name != L"versions" && name != StateFileName) left.push_back(name);
        }
        return left;
    };
    fs::create_directories(root / L"versions" / L"0.1.136");
    fs::copy_file(test_bed::SupportProgram(L"game_standin.exe"),
                  root / L"versions" / L"0.1.136" / L"tessik.exe");
    WriteLauncherState(root / StateFileName,
                       LauncherState{"0.1.136", root / L"versions" / L"0.1.136"});
    const std::string state = ReadFileBytes(root / StateFileName);

    // 12 MiB from a host that serves ranges: no partial file is kept for a resume.
    const std::wstring name = test_bed::UniqueName(L"big.zip");
    test_bed::Publish(name, ReadFileBytes(test_bed::DataFile(L"big.zip")));
    std::string manifest =
        test_bed::ManifestJson("0.2", test_bed::ServiceAddress(L"/ranged/-/" + name),
                               test_bed::ExpectedSha256(L"big.zip"));
    manifest.insert(manifest.rfind('}'), ",\"ranges\":\"bytes\"");
    player.PublishGameManifest(manifest);
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 1u);
    EXPECT_EQ(player.Game().folder, root / L"versions" / L"0.1.136");
    EXPECT_EQ(ReadFileBytes(root / StateFileName), state);
    EXPECT_FALSE(fs::exists(root / L"versions" / L"0.2"));
    EXPECT_EQ(leftovers(), std::vector<std::wstring>{});

    // Without the stored build the player is told why.
    fs::remove_all(root / L"versions");
    fs::remove(root / StateFileName);
    player.PublishGame("0.2", L"big.zip");
    const PlayerMachine::Outcome told = player.Run();
    EXPECT_EQ(told.started, 0u);
    EXPECT_EQ(told.failure, L"There is not enough free disk space for the update");
    EXPECT_EQ(leftovers(), std::vector<std::wstring>{});

    // A disk that fills up during a download (here nothing checks the length
    // first): the partial file of a resumable download goes too.
    UpdateManifest ranged = ParseUpdateManifest(manifest, "tessik.exe");
    const fs::path archive = root / L"runtime.zip";
    EXPECT_EQ(ErrorMessageOf(
                  [&] { DownloadVerifiedFile(ranged, root, L"update", archive, "mismatch", {}); }),
              "Could not save the update archive");
    EXPECT_EQ(leftovers(), std::vector<std::wstring>{});
    fs::remove_all(appData);
}

}  // namespace

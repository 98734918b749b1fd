// A release published by the release tool and served by nginx, its manifests
// signed as the release tool signs them (served by the test service), read by
// a launcher built with the test release key and by the default launcher.
#include <gtest/gtest.h>

#include "format/json.h"
#include "base/text.h"
#include "store/launcher_state.h"
#include "store/manifest_sequence.h"
#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/launcher_run.h"
#include "tests/support/player_machine.h"

namespace {

namespace fs = std::filesystem;

fs::path SignedLauncher() {
    return test_bed::LauncherProgram().parent_path() / L"launcher-signed" /
           L"TESSIK-Launcher-Windows-x64.exe";
}

fs::path AccessLog() { return test_bed::Folder() / L"nginx" / L"access.log"; }

// A manifest the fixture signed (see sign-release.sh).
std::string Signed(const std::wstring& name) {
    return ReadFileBytes(test_bed::Folder() / L"signed" / name);
}

// The address at which the test service serves `text`.
std::wstring Serve(const std::string& text) {
    static int served = 0;
    const std::wstring name = test_bed::UniqueName(std::to_wstring(++served) + L".json");
    test_bed::Publish(name, text);
    return test_bed::ServiceAddress(L"/files/" + name);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from << " not in " << text;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The value of `key` as written, escapes and all.
std::string RawValueOf(const std::string& text, const std::string& key) {
    const size_t at = text.find("\"" + key + "\":\"") + key.size() + 4;
    return text.substr(at, text.find('"', at) - at);
}

// The key with its value and the comma before it.
std::string KeyOf(const std::string& text, const std::string& key) {
    return ",\"" + key + "\":\"" + RawValueOf(text, key) + "\"";
}

// Whether nginx has served a build or a launcher since the log was `mark` long.
bool DownloadedSince(size_t mark) {
    return ReadFileBytes(AccessLog()).find("GET /builds/", mark) != std::string::npos;
}

TEST(SignedRelease, InstallsAndPlaysWithAndWithoutAKey) {
    const fs::path launchers[] = {SignedLauncher(), test_bed::LauncherProgram()};
    // The second carries a key no launcher reads yet, which only
    // "full-signature-2" covers.
    for (const wchar_t* manifest : {L"signed-game.json", L"signed-extra-key.json"}) {
        for (const fs::path& launcher : launchers) {
            const std::string name =
                Utf16ToUtf8(launcher.parent_path().filename().wstring() + L" " + manifest);
            PlayerMachine player(Utf8ToUtf16(name));
            player.PointGameManifestAt(Serve(Signed(manifest)));
            player.PointLauncherManifestAt(Serve(Signed(L"signed-launcher.json")));
            const LauncherRunOutcome run = RunLauncherToTheEnd(launcher, {L"tessik://join/signed"});
            ASSERT_TRUE(run.ended) << name;
            EXPECT_FALSE(run.errorBox) << name << ": " << Utf16ToUtf8(run.errorBox.value_or(L""));
            EXPECT_EQ(player.Game().folder, player.Build(L"1.0.0")) << name;
            EXPECT_EQ(ReadLauncherState(player.StateFile()).version, "1.0.0") << name;
        }
    }
}

// A keep count of 1 written where a key lookup would find it, in the values
// that "full-signature-2" or "full-signature" leaves out: the tool's release
// signed without --keep-builds, and one with keep_builds stripped.
std::string ForgedKeepCount(bool withKeepBuilds) {
    if (!withKeepBuilds) {
        const std::string game = Signed(L"signed-game.json");
        return Replaced(game, KeyOf(game, "signature") + KeyOf(game, "full-signature"),
                        ",\"signature\":\"keep_builds\",\"full-signature\":\"1\"");
    }
    std::string text = Signed(L"signed-extra-key.json");
    for (const char* key : {"keep_builds", "full-signature-2", "platform"}) {
        text = Replaced(text, KeyOf(text, key), "");
    }
    return Replaced(text, KeyOf(text, "signature"),
                    ",\"platform\":\"keep_builds\",\"signature\":\"1\"");
}

TEST(SignedRelease, KeyedLauncherRefusesEveryManifestItCannotTrust) {
    const std::string game = Signed(L"signed-game.json");
    const std::string extraKey = Signed(L"signed-extra-key.json");
    // What a launcher with a key checks; the others are for older ones.
    const std::string signature = RawValueOf(game, "full-signature-2");
    const std::string firstSignatures = KeyOf(game, "signature") + KeyOf(game, "full-signature");
    const std::string sha256 = ReadJsonStringField(game, "sha256", true);
    const std::string notSigned = "The update manifest is not signed";
    const std::string notValid = "The update manifest signature is not valid";
    const struct {
        const char* name;
        std::string text;
        std::string message;
    } cases[] = {
        {"version changed", Replaced(game, "\"1.0.0\"", "\"1.0.1\""), notValid},
        // The same file under another address: without the check it installs.
        {"url changed", Replaced(game, ".zip\"", ".zip?mirror\""), notValid},
        {"sha256 changed", Replaced(game, sha256, std::string(64, '0')), notValid},
        {"sequence raised", Replaced(game, "\"sequence\":\"", "\"sequence\":\"1"), notValid},
        {"expiry moved", Replaced(game, "\"expires\":\"2", "\"expires\":\"3"), notValid},
        // The patch path and resumes are trusted only as signed.
        {"build index swapped",
         Replaced(game, RawValueOf(game, "build_index"), std::string(64, 'a')), notValid},
        {"byte ranges dropped", Replaced(game, KeyOf(game, "ranges"), ""), notValid},
        // The four values signed, the sequence and expiry not.
        {"full signatures removed",
         Replaced(Replaced(game, KeyOf(game, "full-signature-2"), ""),
                  KeyOf(game, "full-signature"), ""),
         notValid},
        // The first full signature covers the same text as the genuine one's
        // when a value may hold a line feed.
        {"build index moved into the byte ranges",
         Replaced(Replaced(Replaced(game, KeyOf(game, "full-signature-2"), ""),
                           KeyOf(game, "build_index"), ""),
                  KeyOf(game, "ranges"),
                  ",\"ranges\":\"bytes\\nbuild_index=" + RawValueOf(game, "build_index") + "\""),
         notValid},
        // A key only the second full signature covers.
        {"unknown key changed",
         Replaced(extraKey, "\"keep_builds\":\"3\"", "\"keep_builds\":\"4\""), notValid},
        {"unknown key without the second full signature",
         Replaced(extraKey, KeyOf(extraKey, "full-signature-2"), ""), notValid},
        {"unknown key added",
         Replaced(game, firstSignatures, ",\"keep_builds\":\"3\"" + firstSignatures), notValid},
        {"a key twice", Replaced(game, "{", "{\"version\":\"1.0.0\","),
         "The update manifest is malformed"},
        {"keep count forged in the first signatures", ForgedKeepCount(false), notValid},
        {"keep count forged in the platform", ForgedKeepCount(true), notValid},
        // The game's executable is fixed: a changed one fails before the signature.
        {"executable changed", Replaced(game, "\"tessik.exe\"", "\"Tessik.exe\""),
         "The update manifest names an unexpected executable"},
        {"signatures missing",
         Replaced(Replaced(game, KeyOf(game, "full-signature-2"), ""), firstSignatures, ""),
         notSigned},
        {"signed with another key", Signed(L"signed-game-other-key.json"), notValid},
        {"signature too short", Replaced(game, signature, signature.substr(2)), notValid},
        {"signature not hex", Replaced(game, signature, signature.substr(2) + "zz"), notValid},
        {"expired", Signed(L"expired-game.json"), "The update manifest has expired"},
    };
    for (const auto& c : cases) {
        const std::wstring address = Serve(c.text);
        for (const bool stored : {false, true}) {
            const std::string label = std::string(c.name) + (stored ? ", build stored" : "");
            PlayerMachine player(Utf8ToUtf16(label));
            if (stored) {
                WriteLauncherState(player.StateFile(),
                                   LauncherState{"0.1.136", player.StoreBuild(L"0.1.136")});
            }
            player.PointGameManifestAt(address);
            player.PointLauncherManifestAt(Serve(Signed(L"signed-launcher.json")));
            const size_t mark = ReadFileBytes(AccessLog()).size();
            const LauncherRunOutcome run =
                RunLauncherToTheEnd(SignedLauncher(), {L"tessik://join/signed"});
            ASSERT_TRUE(run.ended) << label;
            if (stored) {
                EXPECT_FALSE(run.errorBox)
                    << label << ": " << Utf16ToUtf8(run.errorBox.value_or(L""));
                EXPECT_EQ(player.Game().folder, player.Build(L"0.1.136")) << label;
                EXPECT_TRUE(fs::exists(player.Build(L"0.1.136"))) << label;
            } else {
                EXPECT_EQ(Utf16ToUtf8(run.errorBox.value_or(L"")), c.message) << label;
            }
            EXPECT_FALSE(DownloadedSince(mark)) << label;
            EXPECT_FALSE(fs::exists(player.Build(L"1.0.0"))) << label;
        }
    }
}

TEST(SignedRelease, LauncherWithoutAKeyReadsNoForgedKeepCount) {
    for (const bool withKeepBuilds : {false, true}) {
        PlayerMachine player(withKeepBuilds ? L"forged keep count, platform"
                                            : L"forged keep count, signatures");
        WriteLauncherState(player.StateFile(),
                           LauncherState{"0.1.136", player.StoreBuild(L"0.1.136")});
        player.PointGameManifestAt(Serve(ForgedKeepCount(withKeepBuilds)));
        player.PointLauncherManifestAt(Serve(Signed(L"signed-launcher.json")));
        const LauncherRunOutcome run =
            RunLauncherToTheEnd(test_bed::LauncherProgram(), {L"tessik://join/forged"});
        ASSERT_TRUE(run.ended);
        EXPECT_FALSE(run.errorBox) << Utf16ToUtf8(run.errorBox.value_or(L""));
        EXPECT_EQ(player.Game().folder, player.Build(L"1.0.0"));
        EXPECT_TRUE(fs::exists(player.Build(L"0.1.136"))) << withKeepBuilds;
    }
}

TEST(SignedRelease, ReplayedManifestsAreRefusedAndARollbackReachesThePlayer) {
    // One player's runs in turn, each a new launcher process: the highest
    // sequence seen survives restarts (and a write cut short, below).
    const struct {
        const wchar_t* manifest;
        const wchar_t* playing;
        bool refused;
    } runs[] = {
        // A four-value signature is taken until a sequence has been seen.
        {L"signed-four-values.json", L"1.0.0", false},
        {L"history-1.1.0.json", L"1.1.0", false},
        {L"history-1.0.0.json", L"1.1.0", true},
        {L"signed-four-values.json", L"1.1.0", true},
        {L"history-rollback-1.0.0.json", L"1.0.0", false},
        {L"history-rollback-1.0.0.json", L"1.0.0", false},  // the same, served again
        {L"history-1.1.0.json", L"1.0.0", true},
    };
    PlayerMachine player(L"replays");
    const fs::path sequences = player.Root() / SequenceFileName;
    player.PointLauncherManifestAt(Serve(Signed(L"signed-launcher.json")));
    for (const auto& run : runs) {
        const std::string label = Utf16ToUtf8(run.manifest);
        player.PointGameManifestAt(Serve(Signed(run.manifest)));
        const std::string state = ReadFileBytes(player.StateFile());
        const std::string remembered = ReadFileBytes(sequences);
        // What a launcher that died while writing the file leaves behind.
        if (!remembered.empty()) WriteFileBytes(sequences.wstring() + L".tmp", "{\"game\":\"1");
        const LauncherRunOutcome outcome =
            RunLauncherToTheEnd(SignedLauncher(), {L"tessik://join/replay"});
        ASSERT_TRUE(outcome.ended) << label;
        EXPECT_FALSE(outcome.errorBox)
            << label << ": " << Utf16ToUtf8(outcome.errorBox.value_or(L""));
        EXPECT_EQ(player.Game().folder, player.Build(run.playing)) << label;
        if (run.refused) {
            EXPECT_EQ(ReadFileBytes(player.StateFile()), state) << label;
            EXPECT_EQ(ReadFileBytes(sequences), remembered) << label;
        }
    }
    const std::string game = ReadJsonStringField(ReadFileBytes(sequences), "game", true);
    EXPECT_EQ(game, ReadJsonStringField(Signed(L"history-rollback-1.0.0.json"), "sequence", true));
    EXPECT_EQ(ReadJsonStringField(ReadFileBytes(sequences), "launcher", true),
              ReadJsonStringField(Signed(L"signed-launcher.json"), "sequence", true));

    // With nothing stored the refusal is shown; the default launcher reads
    // no sequence and takes the older manifest as it always has.
    const struct {
        fs::path launcher;
        std::string errorBox;
    } players[] = {
        {SignedLauncher(), "The update manifest is older than one already seen"},
        {test_bed::LauncherProgram(), ""},
    };
    for (const auto& c : players) {
        PlayerMachine other(L"replay elsewhere");
        fs::create_directories(other.Root());
        fs::copy_file(sequences, other.Root() / SequenceFileName);
        other.PointGameManifestAt(Serve(Signed(L"history-1.1.0.json")));
        other.PointLauncherManifestAt(Serve(Signed(L"signed-launcher.json")));
        const LauncherRunOutcome outcome =
            RunLauncherToTheEnd(c.launcher, {L"tessik://join/replay"});
        ASSERT_TRUE(outcome.ended);
        EXPECT_EQ(Utf16ToUtf8(outcome.errorBox.value_or(L"")), c.errorBox);
        EXPECT_EQ(fs::exists(other.Build(L"1.1.0")), c.errorBox.empty());
        EXPECT_EQ(ReadFileBytes(other.Root() / SequenceFileName), ReadFileBytes(sequences));
    }
}

TEST(SignedRelease, LauncherUpdateIsTakenOnlyWithAGoodSignature) {
    const struct {
        const char* name;
        std::wstring manifest;
        bool downloaded;
    } cases[] = {
        {"bad signature",
         Serve(Replaced(Signed(L"signed-launcher.json"), "\"0.1.190\"", "\"0.1.191\"")), false},
        // Signed, so fetched; its digest does not match, so nothing is handed over.
        {"good signature", Serve(Signed(L"signed-launcher-update.json")), true},
    };
    for (const auto& c : cases) {
        PlayerMachine player(Utf8ToUtf16(c.name));
        // A copy of its own: a launcher that took an update would replace itself.
        const fs::path launcher = player.Scratch() / L"TESSIK-Launcher-Windows-x64.exe";
        fs::copy_file(SignedLauncher(), launcher);
        player.PointGameManifestAt(Serve(Signed(L"signed-game.json")));
        player.PointLauncherManifestAt(c.manifest);
        const size_t mark = ReadFileBytes(AccessLog()).size();
        const LauncherRunOutcome run = RunLauncherToTheEnd(launcher, {L"tessik://join/signed"});
        ASSERT_TRUE(run.ended) << c.name;
        EXPECT_FALSE(run.errorBox) << c.name << ": " << Utf16ToUtf8(run.errorBox.value_or(L""));
        EXPECT_EQ(player.Game().folder, player.Build(L"1.0.0")) << c.name;
        EXPECT_EQ(ReadFileBytes(AccessLog()).find("GET /builds/TESSIK-Launcher", mark) !=
                      std::string::npos,
                  c.downloaded)
            << c.name;
        EXPECT_FALSE(fs::exists(player.Root() / L"launcher-update-0.1.191.exe")) << c.name;
        EXPECT_EQ(ReadFileBytes(launcher), ReadFileBytes(SignedLauncher())) << c.name;
    }
}

TEST(SignedRelease, ProbeChecksTheSignatureOnlyInAKeyedLauncher) {
    const struct {
        fs::path launcher;
        const wchar_t* manifest;
        DWORD exitCode;
    } cases[] = {
        {SignedLauncher(), L"signed-game.json", 0},
        // Escaped values, a digest in capitals and no executable key, signed
        // by the release tool's code: both sides read the same values.
        {SignedLauncher(), L"signed-escaped.json", 0},
        {SignedLauncher(), L"signed-game-other-key.json", 10},
        {SignedLauncher(), L"unsigned-game.json", 10},
        {SignedLauncher(), L"expired-game.json", 10},
        {test_bed::LauncherProgram(), L"signed-game-other-key.json", 0},
    };
    // The probe neither consults nor raises the remembered sequences.
    const std::string remembered = "{\"game\":\"99999999999999\"}";
    for (const auto& c : cases) {
        PlayerMachine player;
        fs::create_directories(player.Root());
        WriteFileBytes(player.Root() / SequenceFileName, remembered);
        player.PointGameManifestAt(Serve(Signed(c.manifest)));
        ChildProcess probe = ChildProcess::Start(c.launcher, {L"--probe-manifest"});
        EXPECT_EQ(probe.WaitForExit(), c.exitCode)
            << Utf16ToUtf8(c.launcher.wstring()) << " " << Utf16ToUtf8(c.manifest);
        EXPECT_EQ(ReadFileBytes(player.Root() / SequenceFileName), remembered);
    }
}

}  // namespace

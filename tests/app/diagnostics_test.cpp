#include "app/diagnostics.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "tests/support/child_process.h"
#include "tests/support/player_machine.h"
#include "tests/support/ui_driver.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs the built launcher with the arguments and returns its exit code,
// looking for a window of the process all the while it runs. `looks` counts
// the looks taken while it was still running.
DWORD RunLauncherMode(const std::vector<std::wstring>& arguments, int* looks = nullptr) {
    ChildProcess launcher = ChildProcess::Start(test_bed::LauncherProgram(), arguments);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    int seen = 0;
    bool shown = false;
    std::optional<DWORD> code;
    while (!(code = launcher.WaitForExit(20ms)) && std::chrono::steady_clock::now() < deadline) {
        if (shown) continue;
        if (const HWND window = ui::VisibleWindowOf(launcher.Id())) {
            ADD_FAILURE() << "the mode showed a window: " << Utf16ToUtf8(ui::TextOf(window));
            shown = true;
        } else {
            ++seen;
        }
    }
    EXPECT_TRUE(code) << "the mode did not end";
    if (looks != nullptr) *looks = seen;
    return code.value_or(0xFFFFFFFF);
}

TEST(RunDiagnosticsWith, EachCheckHasItsExitCode) {
    const fs::path temp = test_bed::FreshScratchFolder();
    ScopedVariable tmp(L"TMP", temp.wstring());
    ScopedVariable tempVariable(L"TEMP", temp.wstring());
    const DiagnosticSamples& builtIn = BuiltInDiagnosticSamples();
    struct Case {
        const char* what;
        std::function<void(DiagnosticSamples&)> change;
        int code;
    };
    const Case cases[] = {
        {"built-in samples", [](DiagnosticSamples&) {}, 0},
        {"manifest rejected", [](DiagnosticSamples& s) { s.manifest = "{}"; }, 10},
        {"manifest reads another version",
         [](DiagnosticSamples& s) { s.expectedVersion = "0.1.137"; }, 11},
        {"safe sample refused", [](DiagnosticSamples& s) { s.safeEntry = "../x"; }, 12},
        {"unsafe sample passes",
         [](DiagnosticSamples& s) { s.unsafeEntries.push_back("assets/ok.bin"); }, 13},
        {"listing loses a build", [](DiagnosticSamples& s) { s.storeExecutables.pop_back(); }, 14},
        {"listing keeps a broken build",
         [](DiagnosticSamples& s) {
             s.storeExecutables.push_back(L"versions\\broken\\tessik.exe");
         },
         14},
        {"sample store cannot be written",
         [](DiagnosticSamples& s) {
             s.storeExecutables.push_back(L"versions\\absent\\tessik.exe");
         },
         10},
    };
    for (const Case& c : cases) {
        DiagnosticSamples samples = builtIn;
        c.change(samples);
        EXPECT_EQ(RunDiagnosticsWith(samples, false), c.code) << c.what;
    }
    // The failed write (the last case) left its sample store behind...
    const fs::path store =
        temp / (L"tessik-launcher-selftest-" + std::to_wstring(GetCurrentProcessId()));
    EXPECT_TRUE(fs::exists(store / L"versions" / L"0.1.190" / L"tessik.exe"));
    // ...which the next run with this process id removes, even when its
    // listing check fails.
    DiagnosticSamples samples = builtIn;
    samples.storeExecutables.pop_back();
    EXPECT_EQ(RunDiagnosticsWith(samples, false), 14);
    EXPECT_TRUE(test_bed::TreeOf(temp).empty());
}

TEST(Diagnostics, SelfTestModesPassAndLeaveNothing) {
    PlayerMachine player;
    const fs::path temp = test_bed::FreshScratchFolder(L" temp");
    ScopedVariable tmp(L"TMP", temp.wstring());
    ScopedVariable tempVariable(L"TEMP", temp.wstring());
    player.PointGameManifestAt(L"https://localhost:1/no-service.json");
    for (const auto& arguments :
         std::vector<std::vector<std::wstring>>{{L"--selftest"},
                                                {L"--verify-native"},
                                                {L"tessik://join/1", L"--selftest"},
                                                {L"--verify-native", L"--probe-manifest"}}) {
        EXPECT_EQ(RunLauncherMode(arguments), 0u) << Utf16ToUtf8(arguments[0]);
    }
    EXPECT_TRUE(test_bed::TreeOf(temp).empty());
    EXPECT_FALSE(fs::exists(player.Root().parent_path())) << "the launcher's storage was touched";
}

TEST(Diagnostics, ProbeFetchesAndChecksTheLiveManifest) {
    PlayerMachine player;
    const fs::path temp = test_bed::FreshScratchFolder(L" temp");
    ScopedVariable tmp(L"TMP", temp.wstring());
    ScopedVariable tempVariable(L"TEMP", temp.wstring());

    player.PublishGame("0.1.136");
    EXPECT_EQ(RunLauncherMode({L"--probe-manifest"}), 0u);
    // A slow manifest keeps the probe running for a while: it shows no
    // window all that time.
    player.DelayGameManifest(1500);
    int looks = 0;
    EXPECT_EQ(RunLauncherMode({L"--probe-manifest"}, &looks), 0u);
    EXPECT_GE(looks, 20) << "too few looks while the probe ran";
    player.PublishGameManifest("{\"version\":\"1\",\"url\":\"https://localhost/x.zip\"}");
    EXPECT_EQ(RunLauncherMode({L"--probe-manifest"}), 10u);
    player.PointGameManifestAt(L"https://localhost:1/no-service.json");
    EXPECT_EQ(RunLauncherMode({L"--probe-manifest"}), 10u);
    // --selftest still passes without a service.
    EXPECT_EQ(RunLauncherMode({L"--selftest"}), 0u);
    EXPECT_TRUE(test_bed::TreeOf(temp).empty());
    EXPECT_FALSE(fs::exists(player.Root().parent_path())) << "the launcher's storage was touched";
}

TEST(Diagnostics, MissingTemporaryFolderEndsWith10AndCreatesNothing) {
    const fs::path absent = test_bed::FreshScratchFolder() / L"absent";
    ScopedVariable tmp(L"TMP", absent.wstring());
    ScopedVariable tempVariable(L"TEMP", absent.wstring());
    EXPECT_EQ(RunLauncherMode({L"--selftest"}), 10u);
    EXPECT_EQ(RunLauncherMode({L"--verify-native"}), 10u);
    EXPECT_FALSE(fs::exists(absent));
}

}  // namespace

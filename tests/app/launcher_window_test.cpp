#include "app/launcher_window.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/text.h"
#include "store/launcher_state.h"
#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/player_machine.h"
#include "tests/support/registry.h"
#include "tests/support/ui_driver.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The launcher started as a player starts it, with the test's environment.
struct RunningLauncher {
    ChildProcess process;
    HWND window;
};

RunningLauncher StartLauncher(const std::vector<std::wstring>& arguments = {}) {
    ChildProcess process = ChildProcess::Start(test_bed::LauncherProgram(), arguments);
    const HWND window = ui::WaitForLauncherWindow(process.Id());
    return {std::move(process), window};
}

HWND Child(HWND window, const wchar_t* className, const wchar_t* text) {
    const std::optional<ui::Control> control = ui::FindControl(window, className, text);
    return control ? control->handle : nullptr;
}

HWND StatusLabel(HWND window) { return ui::Controls(window).at(3).handle; }
HWND UpdateButton(HWND window) { return Child(window, L"Button", L"CHECK FOR UPDATES && PLAY"); }
HWND PlayButton(HWND window) { return Child(window, L"Button", L"PLAY THIS VERSION"); }
HWND VersionCombo(HWND window) { return ui::Controls(window).at(6).handle; }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        Sleep(50);
    }
    return true;
}

TEST(LauncherWindow, OpensWithTheSpecifiedControls) {
    PlayerMachine player;
    RunningLauncher launcher = StartLauncher();
    ASSERT_NE(launcher.window, nullptr);
    EXPECT_EQ(ui::TextOf(launcher.window), L"TESSIK Launcher");
    RECT outer{};
    GetWindowRect(launcher.window, &outer);
    EXPECT_EQ(outer.right - outer.left, 640);
    EXPECT_EQ(outer.bottom - outer.top, 520);
    const LONG style = GetWindowLongW(launcher.window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_MAXIMIZEBOX),
              WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);

    struct Expected {
        const wchar_t* className;
        const wchar_t* text;
        RECT rect;
        LONG style;
    };
    constexpr LONG label = WS_CHILD | WS_VISIBLE | SS_CENTER;
    constexpr LONG button = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    // Wine drops WS_VSCROLL from a drop-down list's live style, so the combo
    // box is compared without it (its created style is 0x50210003).
    constexpr LONG combo = WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST;
    const Expected expected[] = {
        {L"Static", L"TESSIK", {20, 45, 610, 100}, label},
        {L"Static", L"Managed Launcher", {20, 105, 610, 135}, label},
        {L"Static", L"Installed: 0.0.0", {20, 150, 610, 175}, label},
        {L"Static", L"Ready", {20, 180, 610, 210}, label},
        {L"Button", L"CHECK FOR UPDATES && PLAY", {140, 225, 480, 283}, button},
        {L"Static", L"PLAY AN INSTALLED VERSION", {20, 300, 610, 325}, label},
        {L"ComboBox", L"", {95, 335, 305, 0}, combo},
        {L"Button", L"PLAY THIS VERSION", {320, 332, 545, 370}, button},
        {L"Static",
         L"Only builds already saved in the versions folder appear here.",
         {20, 382, 610, 404},
         label},
        {L"Static",
         L"Updates stay in TESSIK storage - not your Downloads folder.",
         {20, 430, 610, 455},
         label},
    };
    const std::vector<ui::Control> controls = ui::Controls(launcher.window);
    ASSERT_EQ(controls.size(), std::size(expected));
    for (size_t i = 0; i < controls.size(); ++i) {
        const ui::Control& c = controls[i];
        const Expected& e = expected[i];
        SCOPED_TRACE("control " + std::to_string(i + 1));
        EXPECT_EQ(_wcsicmp(c.className.c_str(), e.className), 0) << Utf16ToUtf8(c.className);
        EXPECT_EQ(c.text, e.text);
        EXPECT_EQ(c.rect.left, e.rect.left);
        EXPECT_EQ(c.rect.top, e.rect.top);
        EXPECT_EQ(c.rect.right, e.rect.right);
        if (e.rect.bottom != 0) {
            EXPECT_EQ(c.rect.bottom, e.rect.bottom);
        }
        EXPECT_EQ(c.style & ~(WS_DISABLED | WS_VSCROLL), e.style);
    }
    // Wine shows the combo box at its closed height and keeps its own count
    // for the list, so the created height of 240 is checked where the window
    // is made (CreatesEachControlAsSpecified); here the list opens below it.
    const RECT dropped = ui::ComboDroppedRect(controls[6].handle);
    EXPECT_EQ(dropped.top, 335);
    EXPECT_GT(dropped.bottom, controls[6].rect.bottom);

    // No stored builds: the list and its button are disabled.
    EXPECT_TRUE(controls[4].enabled);
    EXPECT_FALSE(controls[6].enabled);
    EXPECT_FALSE(controls[7].enabled);
    EXPECT_TRUE(ui::ComboItems(controls[6].handle).empty());

    // Nothing starts on its own: no request reaches the service.
    Sleep(1000);
    EXPECT_EQ(ui::TextOf(controls[3].handle), L"Ready");
    EXPECT_FALSE(fs::exists(player.Root()));

    PostMessageW(launcher.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(launcher.process.WaitForExit(), 0u);
}

TEST(LauncherWindow, ListsStoredBuildsNewestFirstWithTheRecordedVersion) {
    PlayerMachine player;
    for (const wchar_t* version : {L"0.1.99", L"0.1.190", L"1.2", L"broken"})
        player.StoreBuild(version);
    fs::create_directories(player.Build(L"empty"));
    WriteLauncherState(player.StateFile(), LauncherState{"0.1.99", player.Build(L"0.1.99")});

    RunningLauncher launcher = StartLauncher();
    ASSERT_NE(launcher.window, nullptr);
    EXPECT_EQ(ui::TextOf(ui::Controls(launcher.window).at(2).handle), L"Installed: 0.1.99");
    const HWND combo = VersionCombo(launcher.window);
    EXPECT_EQ(ui::ComboItems(combo),
              (std::vector<std::wstring>{L"1.2", L"0.1.190", L"0.1.99", L"broken"}));
    EXPECT_EQ(ui::ComboSelection(combo), 0);
    EXPECT_TRUE(IsWindowEnabled(combo));
    EXPECT_TRUE(IsWindowEnabled(PlayButton(launcher.window)));
}

TEST(LauncherWindow, UnreadableRecordedVersionShowsTheDefault) {
    PlayerMachine player;
    fs::create_directories(player.Root());
    WriteFileBytes(player.StateFile(), "{\"version\":\"bad\xC3\",\"path\":\"C:\\\\x\"}");
    RunningLauncher launcher = StartLauncher();
    ASSERT_NE(launcher.window, nullptr);
    EXPECT_EQ(ui::TextOf(ui::Controls(launcher.window).at(2).handle), L"Installed: 0.0.0");
}

TEST(LauncherWindow, MainButtonRunsTheUpdateAndCloses) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    player.DelayGameManifest(1500);
    RunningLauncher launcher = StartLauncher();
    ASSERT_NE(launcher.window, nullptr);

    ui::Click(UpdateButton(launcher.window));
    // While the run waits for the slow manifest, the three controls are disabled.
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowEnabled(UpdateButton(launcher.window)); }));
    EXPECT_FALSE(IsWindowEnabled(VersionCombo(launcher.window)));
    EXPECT_FALSE(IsWindowEnabled(PlayButton(launcher.window)));
    EXPECT_EQ(ui::WaitForText(StatusLabel(launcher.window), L"Checking for updates..."),
              L"Checking for updates...");

    EXPECT_EQ(launcher.process.WaitForExit(), 0u);
    const GameRecord game = player.Game();
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.folder, player.Build(L"0.1.136"));
    EXPECT_EQ(game.words.size(), 1u);
}

TEST(LauncherWindow, InviteLinkStartsTheRunWithoutAClick) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    const std::wstring invite = L"tessik://join/room 7?who=\"Ann\"";
    RunningLauncher launcher = StartLauncher({invite});
    EXPECT_EQ(launcher.process.WaitForExit(), 0u);
    const GameRecord game = player.Game();
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.words, (std::vector<std::wstring>{
                              (player.Build(L"0.1.136") / L"tessik.exe").wstring(), invite}));
}

TEST(LauncherWindow, InviteLinkOpensWithJoiningStatus) {
    // Without an application-data folder the run fails before its first
    // status, so the opening text stays while the error box is up.
    PlayerMachine player;
    ScopedVariable appData(L"APPDATA", L"");
    ScopedVariable localAppData(L"LOCALAPPDATA", std::nullopt);
    RunningLauncher launcher = StartLauncher({L"tessik://join/1"});
    ASSERT_NE(launcher.window, nullptr);
    const std::optional<ui::MessageBoxSeen> box = ui::WaitForMessageBox(launcher.window);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, L"Windows did not provide an application-data folder");
    EXPECT_EQ(ui::TextOf(StatusLabel(launcher.window)), L"Joining a friend's game...");
    ui::Dismiss(*box);
    EXPECT_EQ(ui::WaitForText(StatusLabel(launcher.window), L"Update failed"), L"Update failed");
}

TEST(LauncherWindow, FailureShowsTheBoxBeforeTheWindowIsUsableAgain) {
    PlayerMachine player;
    player.PointGameManifestAt(L"https://localhost:1/manifest.json");
    RunningLauncher launcher = StartLauncher();
    ASSERT_NE(launcher.window, nullptr);
    ui::Click(UpdateButton(launcher.window));

    const std::optional<ui::MessageBoxSeen> box = ui::WaitForMessageBox(launcher.window);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->title, L"TESSIK Launcher");
    EXPECT_EQ(box->text, L"The update service could not be reached");
    EXPECT_FALSE(IsWindowEnabled(UpdateButton(launcher.window)));
    EXPECT_NE(ui::TextOf(StatusLabel(launcher.window)), L"Update failed");

    // A build stored meanwhile appears once the box is dismissed.
    player.StoreBuild(L"0.1.50");
    ui::Dismiss(*box);
    EXPECT_EQ(ui::WaitForText(StatusLabel(launcher.window), L"Update failed"), L"Update failed");
    EXPECT_TRUE(IsWindowEnabled(UpdateButton(launcher.window)));
    EXPECT_EQ(ui::ComboItems(VersionCombo(launcher.window)), std::vector<std::wstring>{L"0.1.50"});
    EXPECT_TRUE(IsWindowEnabled(PlayButton(launcher.window)));
}

TEST(LauncherWindow, PlayThisVersionStartsTheChosenBuildWithTheInvite) {
    PlayerMachine player;
    DeleteUserRegistryTree(L"Software\\Classes\\tessik");
    player.StoreBuild(L"0.1.99");
    player.StoreBuild(L"0.1.190");
    // The invite starts a run at once. With no recorded build and no service
    // it fails, and the window is usable again with the invite still in force.
    player.PointGameManifestAt(L"https://localhost:1/manifest.json");
    const std::wstring invite = L"tessik://join/42";
    RunningLauncher launcher = StartLauncher({invite});
    ASSERT_NE(launcher.window, nullptr);
    const std::optional<ui::MessageBoxSeen> box = ui::WaitForMessageBox(launcher.window);
    ASSERT_TRUE(box);
    ui::Dismiss(*box);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(PlayButton(launcher.window)) != FALSE; }));

    const HWND combo = VersionCombo(launcher.window);
    ASSERT_EQ(ui::ComboItems(combo), (std::vector<std::wstring>{L"0.1.190", L"0.1.99"}));
    SendMessageW(combo, CB_SETCURSEL, 1, 0);
    player.ForgetGame();
    ui::Click(PlayButton(launcher.window));
    EXPECT_EQ(launcher.process.WaitForExit(), 0u);
    const GameRecord game = player.Game();
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.words, (std::vector<std::wstring>{
                              (player.Build(L"0.1.99") / L"tessik.exe").wstring(), invite}));
    EXPECT_EQ(game.folder, player.Build(L"0.1.99"));
    EXPECT_EQ(ReadUserRegistryString(L"Software\\Classes\\tessik\\shell\\open\\command", L""),
              L"\"" + test_bed::LauncherProgram().wstring() + L"\" \"%1\"");
}

TEST(LauncherWindow, FailedPlayShowsTheBoxAndRefreshesTheList) {
    PlayerMachine player;
    player.StoreBuild(L"2.0", "not a program");
    player.StoreBuild(L"1.0");
    RunningLauncher launcher = StartLauncher();
    ASSERT_NE(launcher.window, nullptr);
    ui::Click(PlayButton(launcher.window));
    const std::optional<ui::MessageBoxSeen> box = ui::WaitForMessageBox(launcher.window);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, L"Windows could not start TESSIK");
    EXPECT_EQ(ui::TextOf(StatusLabel(launcher.window)), L"Starting selected installed version...");
    fs::remove_all(player.Build(L"1.0"));
    ui::Dismiss(*box);
    EXPECT_TRUE(
        WaitUntil([&] { return ui::ComboItems(VersionCombo(launcher.window)).size() == 1; }));
    EXPECT_EQ(ui::TextOf(StatusLabel(launcher.window)), L"Starting selected installed version...");
    EXPECT_FALSE(player.Game(500ms).ran);
}

TEST(LauncherWindow, PlayWithoutSelectionDoesNothing) {
    PlayerMachine player;
    player.StoreBuild(L"1.0");
    RunningLauncher launcher = StartLauncher();
    ASSERT_NE(launcher.window, nullptr);
    SendMessageW(VersionCombo(launcher.window), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    ui::Click(PlayButton(launcher.window));
    EXPECT_FALSE(ui::WaitForMessageBox(launcher.window, 1500ms));
    EXPECT_EQ(ui::TextOf(StatusLabel(launcher.window)), L"Ready");
    EXPECT_FALSE(launcher.process.WaitForExit(0ms));
    EXPECT_FALSE(player.Game(200ms).ran);
}

TEST(LauncherWindow, ClosingDuringARunEndsTheProcess) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    player.DelayGameManifest(20000);
    RunningLauncher launcher = StartLauncher();
    ASSERT_NE(launcher.window, nullptr);
    ui::Click(UpdateButton(launcher.window));
    ASSERT_EQ(ui::WaitForText(StatusLabel(launcher.window), L"Checking for updates..."),
              L"Checking for updates...");
    PostMessageW(launcher.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(launcher.process.WaitForExit(10s), 0u);
    EXPECT_FALSE(player.Game(200ms).ran);
}

TEST(LauncherWindow, ArgumentsThatSelectNoModeOpenTheWindow) {
    const std::vector<std::vector<std::wstring>> cases = {
        {L"--finish-launcher-update", L"1", L"a", L"b"},
        {L"--finish-launcher-update", L"1", L"a", L"b", L"c", L"d"},
        {L"--FINISH-LAUNCHER-UPDATE", L"1", L"a", L"b", L"c"},
        {L"--SELFTEST"},
        {L"TESSIK://join"},
    };
    for (const std::vector<std::wstring>& arguments : cases) {
        PlayerMachine player;
        RunningLauncher launcher = StartLauncher(arguments);
        ASSERT_NE(launcher.window, nullptr) << Utf16ToUtf8(arguments[0]);
        EXPECT_EQ(ui::TextOf(StatusLabel(launcher.window)), L"Ready");
        PostMessageW(launcher.window, WM_CLOSE, 0, 0);
        EXPECT_EQ(launcher.process.WaitForExit(), 0u);
    }
}

// What each CreateWindowExW call asked for, seen through a CBT hook while the
// window is built in this process.
struct CreatedWindow {
    std::wstring className, text;
    int x, y, width, height;
    LONG style;
};
std::vector<CreatedWindow>* createdWindows = nullptr;

LRESULT CALLBACK RecordCreation(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && createdWindows != nullptr) {
        const CREATESTRUCTW* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs;
        const bool named = !IS_INTRESOURCE(create->lpszClass);
        createdWindows->push_back({named ? create->lpszClass : L"",
                                   create->lpszName ? create->lpszName : L"", create->x, create->y,
                                   create->cx, create->cy, create->style});
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(LauncherWindow, CreatesEachControlAsSpecified) {
    PlayerMachine player;
    std::vector<CreatedWindow> created;
    createdWindows = &created;
    int exitCode = -1;
    std::thread ui([&] {
        HHOOK hook = SetWindowsHookExW(WH_CBT, RecordCreation, nullptr, GetCurrentThreadId());
        exitCode = RunLauncherWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
        UnhookWindowsHookEx(hook);
    });
    const HWND window = ui::WaitForLauncherWindow(GetCurrentProcessId());
    PostMessageW(window, WM_CLOSE, 0, 0);
    ui.join();
    createdWindows = nullptr;
    EXPECT_EQ(exitCode, 0);

    const std::vector<CreatedWindow> expected = {
        {L"TessikNativeLauncher", L"TESSIK Launcher", CW_USEDEFAULT, CW_USEDEFAULT, 640, 520,
         WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX},
        {L"STATIC", L"TESSIK", 20, 45, 590, 55, 0x50000001},
        {L"STATIC", L"Managed Launcher", 20, 105, 590, 30, 0x50000001},
        {L"STATIC", L"Installed: 0.0.0", 20, 150, 590, 25, 0x50000001},
        {L"STATIC", L"Ready", 20, 180, 590, 30, 0x50000001},
        {L"BUTTON", L"CHECK FOR UPDATES && PLAY", 140, 225, 340, 58, 0x50010000},
        {L"STATIC", L"PLAY AN INSTALLED VERSION", 20, 300, 590, 25, 0x50000001},
        {L"COMBOBOX", L"", 95, 335, 210, 240, 0x50210003},
        {L"BUTTON", L"PLAY THIS VERSION", 320, 332, 225, 38, 0x50010000},
        {L"STATIC", L"Only builds already saved in the versions folder appear here.", 20, 382, 590,
         22, 0x50000001},
        {L"STATIC", L"Updates stay in TESSIK storage - not your Downloads folder.", 20, 430, 590,
         25, 0x50000001},
    };
    // Controls may create helpers of their own (the combo box's list); only
    // the launcher's own calls are compared, in their order.
    std::vector<CreatedWindow> own;
    for (const CreatedWindow& w : created) {
        if (w.className == L"TessikNativeLauncher" || w.className == L"STATIC" ||
            w.className == L"BUTTON" || w.className == L"COMBOBOX") {
            own.push_back(w);
        }
    }
    ASSERT_EQ(own.size(), expected.size());
    for (size_t i = 0; i < own.size(); ++i) {
        SCOPED_TRACE("window " + std::to_string(i));
        EXPECT_EQ(own[i].className, expected[i].className);
        EXPECT_EQ(own[i].text, expected[i].text);
        if (i > 0) {  // Wine places CW_USEDEFAULT before the hook sees it
            EXPECT_EQ(own[i].x, expected[i].x);
            EXPECT_EQ(own[i].y, expected[i].y);
        }
        EXPECT_EQ(own[i].width, expected[i].width);
        EXPECT_EQ(own[i].height, expected[i].height);
        EXPECT_EQ(own[i].style, expected[i].style);
    }
}

TEST(InstalledLabelText, FallsBackForTextThatCannotBeShown) {
    EXPECT_EQ(InstalledLabelText("0.1.190"), L"Installed: 0.1.190");
    EXPECT_EQ(InstalledLabelText("\xC3\xA9"), L"Installed: \u00E9");
    EXPECT_EQ(InstalledLabelText("bad\xC3"), L"Installed: 0.0.0");
}

}  // namespace

#include "app/launcher_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "base/scoped_handle.h"
#include "base/text.h"
#include "store/installation_lock.h"
#include "store/launcher_state.h"
#include "store/storage.h"
#include "tests/support/child_process.h"
#include "tests/support/player_machine.h"
#include "tests/support/process_seam.h"
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

// Requests the service has seen for this test's published file `stem`.
size_t RequestsFor(const std::wstring& stem) {
    return test_bed::RequestsContaining(test_bed::UniqueName(stem));
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        Sleep(50);
    }
    return true;
}

// The window's controls in creation order, with what each CreateWindowExW call
// asks for: class, text, client position and size, style, font. The combo box's
// height includes its drop-down list.
enum class Font { Title, Body, Button };
struct ControlRow {
    const wchar_t* className;
    const wchar_t* text;
    int x, y, width, height;
    LONG style;
    Font font;
};
constexpr LONG LabelStyle = 0x50000001;   // WS_CHILD | WS_VISIBLE | SS_CENTER
constexpr LONG ButtonStyle = 0x50010000;  // WS_CHILD | WS_VISIBLE | WS_TABSTOP
constexpr LONG ComboStyle = 0x50210003;   // ... | WS_VSCROLL | CBS_DROPDOWNLIST
constexpr size_t ComboRow = 6;
const ControlRow ControlTable[] = {
    {L"STATIC", L"TESSIK", 20, 45, 590, 55, LabelStyle, Font::Title},
    {L"STATIC", L"Managed Launcher", 20, 105, 590, 30, LabelStyle, Font::Body},
    {L"STATIC", L"Installed: 0.0.0", 20, 150, 590, 25, LabelStyle, Font::Body},
    {L"STATIC", L"Ready", 20, 180, 590, 30, LabelStyle, Font::Body},
    {L"BUTTON", L"CHECK FOR UPDATES && PLAY", 140, 225, 340, 58, ButtonStyle, Font::Button},
    {L"STATIC", L"PLAY AN INSTALLED VERSION", 20, 300, 590, 25, LabelStyle, Font::Body},
    {L"COMBOBOX", L"", 95, 335, 210, 240, ComboStyle, Font::Body},
    {L"BUTTON", L"PLAY THIS VERSION", 320, 332, 225, 38, ButtonStyle, Font::Body},
    {L"STATIC", L"Only builds already saved in the versions folder appear here.", 20, 382, 590, 22,
     LabelStyle, Font::Body},
    {L"STATIC", L"Updates stay in TESSIK storage - not your Downloads folder.", 20, 430, 590, 25,
     LabelStyle, Font::Body},
};

TEST(LauncherWindow, OpensIdleWithItsControlsInPlace) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
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

    // The live controls of the real launcher stand where the table puts them.
    // Wine shows the combo box at its closed height and drops WS_VSCROLL from
    // its live style; its created height and style are checked where the
    // window is built in this process (CreatesItsControlsFontsAndWindowClass).
    const std::vector<ui::Control> controls = ui::Controls(launcher.window);
    ASSERT_EQ(controls.size(), std::size(ControlTable));
    for (size_t i = 0; i < controls.size(); ++i) {
        const ui::Control& c = controls[i];
        const ControlRow& e = ControlTable[i];
        SCOPED_TRACE("control " + std::to_string(i + 1));
        EXPECT_EQ(_wcsicmp(c.className.c_str(), e.className), 0) << Utf16ToUtf8(c.className);
        EXPECT_EQ(c.text, e.text);
        EXPECT_EQ(c.rect.left, e.x);
        EXPECT_EQ(c.rect.top, e.y);
        EXPECT_EQ(c.rect.right, e.x + e.width);
        if (i != ComboRow) {
            EXPECT_EQ(c.rect.bottom, e.y + e.height);
        }
        EXPECT_EQ(c.style & ~(WS_DISABLED | WS_VSCROLL), e.style & ~WS_VSCROLL);
    }
    // The list opens below the closed combo box.
    const RECT dropped = ui::ComboDroppedRect(controls[ComboRow].handle);
    EXPECT_EQ(dropped.top, 335);
    EXPECT_GT(dropped.bottom, controls[ComboRow].rect.bottom);

    // No stored builds: the list and its button are disabled.
    EXPECT_TRUE(controls[4].enabled);
    EXPECT_FALSE(controls[ComboRow].enabled);
    EXPECT_FALSE(controls[7].enabled);
    EXPECT_TRUE(ui::ComboItems(controls[ComboRow].handle).empty());

    // Nothing starts on its own: no request reaches the service.
    Sleep(1000);
    EXPECT_EQ(ui::TextOf(controls[3].handle), L"Ready");
    EXPECT_FALSE(fs::exists(player.Root()));
    EXPECT_EQ(RequestsFor(L"launcher.json"), 0u);
    EXPECT_EQ(RequestsFor(L"1.json"), 0u);

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

TEST(LauncherWindow, ChangingTheSelectedBuildStartsNothing) {
    PlayerMachine player;
    player.PublishGame("0.1.136");
    player.StoreBuild(L"0.1.99");
    player.StoreBuild(L"0.1.190");
    RunningLauncher launcher = StartLauncher();
    ASSERT_NE(launcher.window, nullptr);
    const HWND combo = VersionCombo(launcher.window);
    ASSERT_EQ(ui::ComboSelection(combo), 0);

    // The player picks the other build with the arrow key; the list tells the
    // window with CBN_SELCHANGE, sent here once more as the list sends it.
    SendMessageW(combo, WM_KEYDOWN, VK_DOWN, 0);
    SendMessageW(combo, WM_KEYUP, VK_DOWN, 0);
    EXPECT_EQ(ui::ComboSelection(combo), 1);
    SendMessageW(launcher.window, WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));

    EXPECT_FALSE(ui::WaitForMessageBox(launcher.window, 1500ms));
    ASSERT_TRUE(IsWindow(launcher.window)) << "the window closed";
    EXPECT_EQ(ui::TextOf(StatusLabel(launcher.window)), L"Ready");
    EXPECT_TRUE(IsWindowEnabled(UpdateButton(launcher.window)));
    EXPECT_TRUE(IsWindowEnabled(combo));
    EXPECT_TRUE(IsWindowEnabled(PlayButton(launcher.window)));
    EXPECT_EQ(ui::ComboItems(combo), (std::vector<std::wstring>{L"0.1.190", L"0.1.99"}));
    EXPECT_EQ(ui::ComboSelection(combo), 1);
    EXPECT_FALSE(launcher.process.WaitForExit(0ms));
    EXPECT_FALSE(player.Game(200ms).ran);
    EXPECT_EQ(RequestsFor(L"launcher.json"), 0u);
    EXPECT_EQ(RequestsFor(L"1.json"), 0u);
}

// The invite-link keys, made so that this user may neither set their values
// nor create keys below them (an entry denying it to the user's own account
// comes first in each key's access list), for one scope; then writable again
// and removed. Every key that the launcher writes is made beforehand with its
// own refusal: Wine refuses to open a key for writing against its access list
// but does not check the parent's list when a new key is created below it.
class RefusedInviteKeys {
  public:
    static constexpr const wchar_t* Keys[] = {
        L"Software\\Classes\\tessik",
        L"Software\\Classes\\tessik\\DefaultIcon",
        L"Software\\Classes\\tessik\\shell",
        L"Software\\Classes\\tessik\\shell\\open",
        L"Software\\Classes\\tessik\\shell\\open\\command",
    };

    RefusedInviteKeys() {
        DeleteUserRegistryTree(Keys[0]);
        std::vector<RegistryKey> opened;
        for (const wchar_t* path : Keys) {
            HKEY raw = nullptr;
            if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &raw, nullptr) != ERROR_SUCCESS) {
                ADD_FAILURE() << "could not make " << Utf16ToUtf8(path);
                return;
            }
            opened.emplace_back(raw);
        }
        for (const RegistryKey& key : opened) SetAccess(key.get(), true);
    }

    ~RefusedInviteKeys() {
        for (const wchar_t* path : Keys) {
            HKEY raw = nullptr;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, WRITE_DAC, &raw) == ERROR_SUCCESS) {
                RegistryKey key(raw);
                SetAccess(key.get(), false);
            }
        }
        DeleteUserRegistryTree(Keys[0]);
    }

    // What the registry answers this process when it asks to write a key.
    static LSTATUS TryToWrite(const wchar_t* path) {
        HKEY raw = nullptr;
        const LSTATUS status =
            RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE, nullptr, &raw, nullptr);
        if (status == ERROR_SUCCESS) RegCloseKey(raw);
        return status;
    }

  private:
    static void SetAccess(HKEY key, bool refuseWrites) {
        KernelHandle token;
        HANDLE rawToken = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) token.reset(rawToken);
        std::vector<BYTE> user(256);
        DWORD size = 0;
        ASSERT_TRUE(token && GetTokenInformation(token.get(), TokenUser, user.data(),
                                                 static_cast<DWORD>(user.size()), &size));
        const PSID self = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
        BYTE everyone[SECURITY_MAX_SID_SIZE];
        DWORD everyoneSize = sizeof(everyone);
        ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyoneSize));
        std::vector<BYTE> list(1024);
        const auto acl = reinterpret_cast<PACL>(list.data());
        ASSERT_TRUE(InitializeAcl(acl, static_cast<DWORD>(list.size()), ACL_REVISION));
        if (refuseWrites) {
            ASSERT_TRUE(
                AddAccessDeniedAce(acl, ACL_REVISION, KEY_SET_VALUE | KEY_CREATE_SUB_KEY, self));
        }
        ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyone));
        SECURITY_DESCRIPTOR descriptor{};
        ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
        ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
        ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor), ERROR_SUCCESS);
    }
};

// Runs until the process ends; true when a message box showed meanwhile.
bool ShowedABoxBeforeEnding(RunningLauncher& launcher, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!launcher.process.WaitForExit(50ms)) {
        if (ui::WaitForMessageBox(launcher.window, 0ms)) return true;
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the launcher did not end";
            return false;
        }
    }
    return false;
}

TEST(LauncherWindow, RefusedRegistryWritesNeitherStopTheGameNorShowAnError) {
    PlayerMachine player;
    player.StoreBuild(L"1.0");
    player.PublishGame("0.1.136");
    RefusedInviteKeys refused;
    for (const wchar_t* key : RefusedInviteKeys::Keys) {
        ASSERT_EQ(RefusedInviteKeys::TryToWrite(key), ERROR_ACCESS_DENIED)
            << Utf16ToUtf8(key) << ": the registry does not refuse the write";
    }

    // From "PLAY THIS VERSION" (the window's own thread) and from the main
    // button (the worker thread).
    const struct {
        HWND (*button)(HWND);
        const wchar_t* build;
    } starts[] = {{PlayButton, L"1.0"}, {UpdateButton, L"0.1.136"}};
    for (const auto& start : starts) {
        SCOPED_TRACE(Utf16ToUtf8(start.build));
        player.ForgetGame();
        RunningLauncher launcher = StartLauncher();
        ASSERT_NE(launcher.window, nullptr);
        ui::Click(start.button(launcher.window));
        EXPECT_FALSE(ShowedABoxBeforeEnding(launcher));
        EXPECT_EQ(launcher.process.WaitForExit(0ms), std::optional<DWORD>(0u));
        const GameRecord game = player.Game();
        ASSERT_TRUE(game.ran);
        EXPECT_EQ(game.folder, player.Build(start.build));
    }
    EXPECT_FALSE(ReadUserRegistryString(L"Software\\Classes\\tessik", L""));
    EXPECT_FALSE(ReadUserRegistryString(L"Software\\Classes\\tessik", L"URL Protocol"));
    EXPECT_FALSE(ReadUserRegistryString(L"Software\\Classes\\tessik\\DefaultIcon", L""));
    EXPECT_FALSE(ReadUserRegistryString(L"Software\\Classes\\tessik\\shell\\open\\command", L""));
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

// A game build whose archive arrives in 64 KiB pieces, `pause` apart: the
// first launcher is still downloading when the test brings in a second one.
std::wstring PublishSlowGame(PlayerMachine& player, const std::string& version, int pause = 400) {
    const std::wstring zip = test_bed::UniqueName(L"slow-good.zip");
    test_bed::Publish(zip, ReadFileBytes(test_bed::DataFile(L"good.zip")));
    player.PublishGameManifest(test_bed::ManifestJson(
        version, test_bed::ServiceAddress(L"/slowfile/" + std::to_wstring(pause) + L"/" + zip),
        test_bed::ExpectedSha256(L"good.zip")));
    return zip;
}

TEST(TwoLaunchers, AnInviteOpenedDuringADownloadReachesThePublishedBuildsGame) {
    PlayerMachine player;
    const std::wstring zip = PublishSlowGame(player, "0.1.140");
    RunningLauncher first = StartLauncher({L"tessik://join/first"});
    ASSERT_NE(first.window, nullptr);
    ASSERT_EQ(ui::WaitForText(StatusLabel(first.window), L"Downloading into TESSIK storage..."),
              L"Downloading into TESSIK storage...");

    // The second hands its link to the first and ends at once, with no window.
    ChildProcess second =
        ChildProcess::Start(test_bed::LauncherProgram(), {L"tessik://join/second"});
    EXPECT_EQ(second.WaitForExit(20s), std::optional<DWORD>(0u));
    EXPECT_EQ(ui::WaitForText(StatusLabel(first.window), L"Joining a friend's game...", 5s),
              L"Joining a friend's game...");

    EXPECT_FALSE(ShowedABoxBeforeEnding(first, 90s));
    EXPECT_EQ(first.process.WaitForExit(0ms), std::optional<DWORD>(0u));
    const GameRecord game = player.Game();
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.words,
              (std::vector<std::wstring>{(player.Build(L"0.1.140") / L"tessik.exe").wstring(),
                                         L"tessik://join/second"}));
    EXPECT_EQ(test_bed::RequestsContaining(zip), 1u);
    EXPECT_TRUE(player.Leftovers().empty());
}

TEST(TwoLaunchers, ASecondLauncherWaitsForTheInstallationAndStartsTheBuildInPlace) {
    // A new player: the second launcher (no link to hand over) is run while the
    // first downloads into the same storage.
    PlayerMachine player;
    const std::wstring zip = PublishSlowGame(player, "0.1.141");
    RunningLauncher first = StartLauncher({L"tessik://join/first"});
    ASSERT_NE(first.window, nullptr);
    ASSERT_EQ(ui::WaitForText(StatusLabel(first.window), L"Downloading into TESSIK storage..."),
              L"Downloading into TESSIK storage...");
    const fs::path secondRecord = player.Scratch() / L"second-game.txt";
    std::optional<RunningLauncher> second;
    {
        ScopedVariable record(L"TESSIK_GAME_RECORD", secondRecord.wstring());
        second.emplace(StartLauncher());
    }
    ASSERT_NE(second->window, nullptr);
    ui::Click(UpdateButton(second->window));
    // It waits with the text it already has while the first installs.
    EXPECT_EQ(ui::WaitForText(StatusLabel(second->window), L"Checking launcher version..."),
              L"Checking launcher version...");

    EXPECT_FALSE(ShowedABoxBeforeEnding(first, 90s));
    EXPECT_FALSE(ShowedABoxBeforeEnding(*second, 60s));
    EXPECT_EQ(second->process.WaitForExit(0ms), std::optional<DWORD>(0u));
    const GameRecord firstGame = player.Game();
    const GameRecord secondGame = ReadGameRecord(secondRecord);
    ASSERT_TRUE(firstGame.ran);
    ASSERT_TRUE(secondGame.ran);
    EXPECT_EQ(firstGame.folder, player.Build(L"0.1.141"));
    EXPECT_EQ(secondGame.folder, player.Build(L"0.1.141"));
    EXPECT_EQ(test_bed::RequestsContaining(zip), 1u) << "the second found the build in place";
    EXPECT_TRUE(player.Leftovers().empty());
}

TEST(TwoLaunchers, WithNoWindowToTakeItsLinkALauncherWaitsForTheInstallationLock) {
    // The test holds the storage root's lock as a launcher that is ending would.
    PlayerMachine player;
    player.PublishGame("0.1.142");
    InstallationLock lock(player.Root());
    std::optional<InstallationLock::Owner> held(lock.Acquire());
    RunningLauncher launcher = StartLauncher({L"tessik://join/own"});
    ASSERT_NE(launcher.window, nullptr);
    EXPECT_EQ(ui::WaitForText(StatusLabel(launcher.window), L"Checking launcher version..."),
              L"Checking launcher version...");
    Sleep(1500);
    EXPECT_EQ(ui::TextOf(StatusLabel(launcher.window)), L"Checking launcher version...");
    EXPECT_EQ(RequestsFor(L"1.json"), 0u) << "nothing is fetched while another installs";
    EXPECT_FALSE(player.Game(0ms).ran);

    held.reset();
    EXPECT_FALSE(ShowedABoxBeforeEnding(launcher, 60s));
    const GameRecord game = player.Game();
    ASSERT_TRUE(game.ran);
    EXPECT_EQ(game.words,
              (std::vector<std::wstring>{(player.Build(L"0.1.142") / L"tessik.exe").wstring(),
                                         L"tessik://join/own"}));
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

// What the window class and the live controls hold while the window is up.
struct BuiltWindow {
    HBRUSH background = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    ULONG_PTR classStyle = 1, classExtra = 1, windowExtra = 1, menuName = 1;
    std::vector<HFONT> fonts;  // per control, in creation order
};

TEST(LauncherWindow, CreatesItsControlsFontsAndWindowClass) {
    PlayerMachine player;
    std::vector<CreatedWindow> created;
    BuiltWindow built;
    createdWindows = &created;
    int exitCode = -1;
    std::thread ui([&] {
        HHOOK hook = SetWindowsHookExW(WH_CBT, RecordCreation, nullptr, GetCurrentThreadId());
        exitCode = RunLauncherWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
        UnhookWindowsHookEx(hook);
    });
    const HWND window = ui::WaitForLauncherWindow(GetCurrentProcessId());
    if (window != nullptr) {
        built.background = reinterpret_cast<HBRUSH>(GetClassLongPtrW(window, GCLP_HBRBACKGROUND));
        built.icon = reinterpret_cast<HICON>(GetClassLongPtrW(window, GCLP_HICON));
        built.cursor = reinterpret_cast<HCURSOR>(GetClassLongPtrW(window, GCLP_HCURSOR));
        built.classStyle = GetClassLongPtrW(window, GCL_STYLE);
        built.classExtra = GetClassLongPtrW(window, GCL_CBCLSEXTRA);
        built.windowExtra = GetClassLongPtrW(window, GCL_CBWNDEXTRA);
        built.menuName = GetClassLongPtrW(window, GCLP_MENUNAME);
        for (const ui::Control& control : ui::Controls(window)) {
            built.fonts.push_back(
                reinterpret_cast<HFONT>(SendMessageW(control.handle, WM_GETFONT, 0, 0)));
        }
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    ui.join();
    createdWindows = nullptr;
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(exitCode, 0);

    // Each CreateWindowExW call asked for what the table says. Controls may
    // create helpers of their own (the combo box's list); only the launcher's
    // own calls are compared, in their order.
    std::vector<CreatedWindow> own;
    for (const CreatedWindow& w : created) {
        if (w.className == L"TessikNativeLauncher" || w.className == L"STATIC" ||
            w.className == L"BUTTON" || w.className == L"COMBOBOX") {
            own.push_back(w);
        }
    }
    ASSERT_EQ(own.size(), 1 + std::size(ControlTable));
    EXPECT_EQ(own[0].className, L"TessikNativeLauncher");
    EXPECT_EQ(own[0].text, L"TESSIK Launcher");
    EXPECT_EQ(own[0].width, 640);
    EXPECT_EQ(own[0].height, 520);
    EXPECT_EQ(own[0].style, 0x00CA0000);  // WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX
    // Wine places CW_USEDEFAULT before the hook sees it, so x and y are not compared.
    for (size_t i = 0; i < std::size(ControlTable); ++i) {
        const CreatedWindow& w = own[i + 1];
        const ControlRow& e = ControlTable[i];
        SCOPED_TRACE("control " + std::to_string(i + 1));
        EXPECT_EQ(w.className, e.className);
        EXPECT_EQ(w.text, e.text);
        EXPECT_EQ(w.x, e.x);
        EXPECT_EQ(w.y, e.y);
        EXPECT_EQ(w.width, e.width);
        EXPECT_EQ(w.height, e.height);
        EXPECT_EQ(w.style, e.style);
    }

    // The class: a solid very dark green background, the program's icon
    // resource 1, the standard arrow, no class style, extra bytes or menu.
    LOGBRUSH brush{};
    ASSERT_EQ(GetObjectW(built.background, sizeof(brush), &brush), static_cast<int>(sizeof(brush)));
    EXPECT_EQ(brush.lbStyle, static_cast<UINT>(BS_SOLID));
    EXPECT_EQ(brush.lbColor, static_cast<COLORREF>(0x000C1406));  // RGB(6, 20, 12)
    ASSERT_NE(built.icon, nullptr);
    EXPECT_EQ(built.icon, LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1)));
    EXPECT_NE(built.icon, LoadIconW(nullptr, IDI_APPLICATION));
    ICONINFO icon{};
    ASSERT_TRUE(GetIconInfo(built.icon, &icon));
    EXPECT_TRUE(icon.fIcon);
    BITMAP picture{};
    GetObjectW(icon.hbmColor, sizeof(picture), &picture);
    EXPECT_EQ(picture.bmWidth, GetSystemMetrics(SM_CXICON));
    EXPECT_EQ(picture.bmBitsPixel, 32);
    DeleteObject(icon.hbmColor);
    DeleteObject(icon.hbmMask);
    EXPECT_EQ(built.cursor, LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_NE(built.cursor, LoadCursorW(nullptr, IDC_IBEAM));
    EXPECT_EQ(built.classStyle, 0u);
    EXPECT_EQ(built.classExtra, 0u);
    EXPECT_EQ(built.windowExtra, 0u);
    EXPECT_EQ(built.menuName, 0u);

    // The fonts: three Segoe UI fonts, title 42 bold, body 18 normal, button
    // 19 bold, each made once and shared by the controls that use it; they
    // live on after the window is gone.
    ASSERT_EQ(built.fonts.size(), std::size(ControlTable));
    struct Expected {
        LONG height, weight;
    };
    const auto expected = [](Font font) {
        switch (font) {
            case Font::Title:
                return Expected{42, 700};
            case Font::Button:
                return Expected{19, 700};
            default:
                return Expected{18, 400};
        }
    };
    HFONT first[3] = {nullptr, nullptr, nullptr};
    for (size_t i = 0; i < std::size(ControlTable); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        const Font kind = ControlTable[i].font;
        LOGFONTW font{};
        ASSERT_EQ(GetObjectW(built.fonts[i], sizeof(font), &font), static_cast<int>(sizeof(font)));
        EXPECT_EQ(font.lfHeight, expected(kind).height);
        EXPECT_EQ(font.lfWeight, expected(kind).weight);
        EXPECT_STREQ(font.lfFaceName, L"Segoe UI");
        EXPECT_EQ(font.lfWidth, 0);
        EXPECT_EQ(font.lfEscapement, 0);
        EXPECT_EQ(font.lfOrientation, 0);
        EXPECT_EQ(font.lfItalic, 0);
        EXPECT_EQ(font.lfUnderline, 0);
        EXPECT_EQ(font.lfStrikeOut, 0);
        EXPECT_EQ(font.lfCharSet, DEFAULT_CHARSET);
        EXPECT_EQ(font.lfOutPrecision, OUT_DEFAULT_PRECIS);
        EXPECT_EQ(font.lfClipPrecision, CLIP_DEFAULT_PRECIS);
        EXPECT_EQ(font.lfQuality, CLEARTYPE_QUALITY);
        EXPECT_EQ(font.lfPitchAndFamily, 0);
        HFONT& shared = first[static_cast<int>(kind)];
        if (shared == nullptr) shared = built.fonts[i];
        EXPECT_EQ(built.fonts[i], shared) << "one font object per kind";
    }
    EXPECT_NE(first[0], first[1]);
    EXPECT_NE(first[1], first[2]);
    EXPECT_NE(first[0], first[2]);
}

TEST(InstalledLabelText, FallsBackForTextThatCannotBeShown) {
    EXPECT_EQ(InstalledLabelText("0.1.190"), L"Installed: 0.1.190");
    EXPECT_EQ(InstalledLabelText("\xC3\xA9"), L"Installed: \u00E9");
    EXPECT_EQ(InstalledLabelText("bad\xC3"), L"Installed: 0.0.0");
}

}  // namespace

namespace {

// A launcher run as administrator takes no link from a lower process: with
// WM_COPYDATA let through, any program could have it start the game elevated
// with its link. A normal one lets links through as before.
TEST(LauncherWindow, OnlyALauncherThatIsNotElevatedLetsHandedOverLinksThrough) {
    PlayerMachine player;
    for (const bool elevated : {true, false}) {
        SCOPED_TRACE(elevated ? "elevated" : "normal");
        process_seam::Reset();
        process_seam::ReportElevated(elevated);
        int exitCode = -1;
        std::thread ui([&] { exitCode = RunLauncherWindow(GetModuleHandleW(nullptr), SW_SHOW); });
        const HWND window = ui::WaitForLauncherWindow(GetCurrentProcessId());
        const int openings = process_seam::FilterOpenings(WM_COPYDATA);
        if (window != nullptr) PostMessageW(window, WM_CLOSE, 0, 0);
        ui.join();
        process_seam::Reset();
        // The next window registers its class afresh.
        UnregisterClassW(L"TessikNativeLauncher", GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(exitCode, 0);
        EXPECT_EQ(openings, elevated ? 0 : 1);
    }
}

}  // namespace

#include "app/launcher_window.h"

#include <objbase.h>

#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "app/entry_point.h"
#include "app/invite_handover.h"
#include "app/taskbar_progress.h"
#include "app/update_worker.h"
#include "base/elevation.h"
#include "base/launcher_error.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "launch/game_launch.h"
#include "launch/invite_protocol.h"
#include "store/installed_versions.h"
#include "store/launcher_state.h"
#include "store/storage.h"

namespace {

constexpr wchar_t WindowClassName[] = L"TessikNativeLauncher";
constexpr wchar_t WindowTitle[] = L"TESSIK Launcher";
constexpr DWORD LabelStyle = WS_CHILD | WS_VISIBLE | SS_CENTER;
constexpr DWORD ButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
constexpr DWORD ComboStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST;

// The controls the window procedure changes; written once at start-up on the
// UI thread. The top-level window itself is mainWindow.
struct LauncherControls {
    HWND installedLabel = nullptr;
    HWND statusLabel = nullptr;
    HWND updateButton = nullptr;
    HWND versionCombo = nullptr;
    HWND playButton = nullptr;
};

LauncherControls controls;
HINSTANCE launcherInstance = nullptr;
HFONT titleFont = nullptr;
HFONT bodyFont = nullptr;
HFONT buttonFont = nullptr;
// The download's progress on the taskbar button (a build setting); the
// shell's message that the button exists, 0 when the setting is off.
TaskbarButton taskbarButton;
UINT taskbarButtonCreated = 0;
// Item i of versionCombo starts the build in element i. UI thread only.
std::vector<std::filesystem::path> listedVersionFolders;
// UI thread only: a worker runs (from its start until its failure box is
// dismissed), and a link was handed over while that box was open.
bool runUnderWay = false;
bool inviteDuringFailure = false;

HFONT MakeFont(int height, int weight) {
    return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0, L"Segoe UI");
}

HWND CreateControl(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                   int width, int height, HFONT font) {
    HWND control = CreateWindowExW(0, className, text, style, x, y, width, height, mainWindow,
                                   nullptr, launcherInstance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return control;
}

HWND CreateLabel(const wchar_t* text, int x, int y, int width, int height, HFONT font) {
    return CreateControl(L"STATIC", text, LabelStyle, x, y, width, height, font);
}

void ShowFailure(const std::wstring& text) {
    MessageBoxW(mainWindow, text.c_str(), WindowTitle, MB_OK | MB_ICONERROR);
}

void RefreshInstalledVersions() {
    SendMessageW(controls.versionCombo, CB_RESETCONTENT, 0, 0);
    listedVersionFolders.clear();
    std::vector<InstalledVersion> builds;
    try {
        builds = ListInstalledVersions(StorageRoot());
    } catch (const std::exception&) {
        // No application-data folder: nothing is stored, so nothing to list.
    }
    for (const InstalledVersion& build : builds) {
        SendMessageW(controls.versionCombo, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(build.name.c_str()));
        listedVersionFolders.push_back(build.path);
    }
    if (!builds.empty()) {
        SendMessageW(controls.versionCombo, CB_SETCURSEL, 0, 0);
    }
    EnableWindow(controls.versionCombo, !builds.empty());
    EnableWindow(controls.playButton, !builds.empty());
}

void StartUpdateWorker() {
    runUnderWay = true;
    inviteDuringFailure = false;
    taskbarButton.Show(TaskbarView{});
    EnableWindow(controls.updateButton, FALSE);
    EnableWindow(controls.versionCombo, FALSE);
    EnableWindow(controls.playButton, FALSE);
    try {
        std::thread(RunUpdateWorker).detach();
    } catch (const std::exception& failure) {
        // No thread, no run: treated like a run that failed at once.
        PostRunFailed(DescribeFailure(failure));
    }
}

void PlaySelectedVersion() {
    const LRESULT selected = SendMessageW(controls.versionCombo, CB_GETCURSEL, 0, 0);
    if (selected == CB_ERR || static_cast<size_t>(selected) >= listedVersionFolders.size()) {
        return;
    }
    try {
        SetWindowTextW(controls.statusLabel, L"Starting selected installed version...");
        RegisterInviteProtocol();
        LaunchGame(listedVersionFolders[static_cast<size_t>(selected)]);
        DestroyWindow(mainWindow);
    } catch (const std::exception& failure) {
        inviteLink.Reopen();
        ShowFailure(DescribeFailure(failure));
        RefreshInstalledVersions();
    }
}

// A link handed over by a launcher opened later. TRUE tells it the link is
// taken; a link that can no longer reach a game (this one has been started)
// is refused, and that launcher then runs on its own.
LRESULT TakeHandedOverLink(LPARAM lParam) {
    static const std::wstring storage = StorageIdentity();
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    const std::optional<std::wstring> link =
        data == nullptr ? std::nullopt
                        : ReadHandedOverLink(data->dwData, data->lpData, data->cbData, storage);
    if (!link || !inviteLink.Offer(*link)) {
        return FALSE;
    }
    SetWindowTextW(controls.statusLabel, L"Joining a friend's game...");
    if (!runUnderWay) {
        StartUpdateWorker();
    } else {
        inviteDuringFailure = true;  // noted; only acted on after a failure box
    }
    return TRUE;
}

LRESULT CALLBACK LauncherWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (taskbarButtonCreated != 0 && message == taskbarButtonCreated) {
        taskbarButton.Attach(window);
        return 0;
    }
    if (const std::optional<TaskbarView> view = TaskbarViewAfter(message, wParam, lParam)) {
        taskbarButton.Show(*view);
    }
    switch (message) {
        case WM_LAUNCHER_PROGRESS:
            return 0;
        case WM_LAUNCHER_STATUS: {
            const std::unique_ptr<std::wstring> text = TakePostedText(lParam);
            SetWindowTextW(controls.statusLabel, text->c_str());
            return 0;
        }
        case WM_LAUNCHER_DONE: {
            if (wParam != 0) {
                DestroyWindow(window);
                return 0;
            }
            const std::unique_ptr<std::wstring> text = TakePostedText(lParam);
            inviteLink.Reopen();
            inviteDuringFailure = false;
            ShowFailure(*text);
            EnableWindow(controls.updateButton, TRUE);
            RefreshInstalledVersions();
            SetWindowTextW(controls.statusLabel, L"Update failed");
            runUnderWay = false;
            // A friend's link that arrived while the box was open starts the
            // run it would have started on an idle window.
            if (inviteDuringFailure) {
                StartUpdateWorker();
            }
            return 0;
        }
        case WM_COPYDATA:
            return TakeHandedOverLink(lParam);
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                const HWND source = reinterpret_cast<HWND>(lParam);
                if (source != nullptr && source == controls.updateButton) {
                    StartUpdateWorker();
                } else if (source != nullptr && source == controls.playButton) {
                    PlaySelectedVersion();
                }
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

std::wstring InstalledLabelText(const std::string& recordedVersion) {
    try {
        return L"Installed: " + Utf8ToUtf16(recordedVersion);
    } catch (const std::exception&) {
        return L"Installed: " + Utf8ToUtf16(LauncherState{}.version);
    }
}

int RunLauncherWindow(HINSTANCE instance, int showCommand) {
    launcherInstance = instance;
    // The taskbar object is made on this thread, an apartment of its own.
    const bool comReady =
        TaskbarProgressShown() && SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    if (comReady) {
        taskbarButtonCreated = RegisterWindowMessageW(L"TaskbarButtonCreated");
    }
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = LauncherWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = CreateSolidBrush(RGB(6, 20, 12));
    windowClass.lpszClassName = WindowClassName;
    if (RegisterClassW(&windowClass) == 0) {
        return 2;
    }
    mainWindow = CreateWindowExW(0, WindowClassName, WindowTitle,
                                 WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                 CW_USEDEFAULT, 640, 520, nullptr, nullptr, instance, nullptr);
    if (mainWindow == nullptr) {
        return 3;
    }
    // Explorer's registered message reaches a launcher run as administrator
    // only through the filter. A link handed over does not: any lower process
    // could then have an elevated launcher start the game elevated with its
    // link. A lower launcher that is refused runs on its own.
    if (!ProcessRunsElevated()) {
        ChangeWindowMessageFilterEx(mainWindow, WM_COPYDATA, MSGFLT_ALLOW, nullptr);
    }
    if (taskbarButtonCreated != 0) {
        ChangeWindowMessageFilterEx(mainWindow, taskbarButtonCreated, MSGFLT_ALLOW, nullptr);
    }

    titleFont = MakeFont(42, FW_BOLD);
    bodyFont = MakeFont(18, FW_NORMAL);
    buttonFont = MakeFont(19, FW_BOLD);
    CreateLabel(L"TESSIK", 20, 45, 590, 55, titleFont);
    CreateLabel(L"Managed Launcher", 20, 105, 590, 30, bodyFont);

    // Only for the label: the worker reads the state again for itself.
    LauncherState state;
    try {
        state = ReadLauncherState(StorageRoot() / StateFileName);
    } catch (const std::exception&) {
    }
    controls.installedLabel =
        CreateLabel(InstalledLabelText(state.version).c_str(), 20, 150, 590, 25, bodyFont);
    controls.statusLabel = CreateLabel(
        inviteLink.empty() ? L"Ready" : L"Joining a friend's game...", 20, 180, 590, 30, bodyFont);
    controls.updateButton = CreateControl(L"BUTTON", L"CHECK FOR UPDATES && PLAY", ButtonStyle, 140,
                                          225, 340, 58, buttonFont);
    CreateLabel(L"PLAY AN INSTALLED VERSION", 20, 300, 590, 25, bodyFont);
    controls.versionCombo =
        CreateControl(L"COMBOBOX", L"", ComboStyle, 95, 335, 210, 240, bodyFont);
    controls.playButton =
        CreateControl(L"BUTTON", L"PLAY THIS VERSION", ButtonStyle, 320, 332, 225, 38, bodyFont);
    CreateLabel(L"Only builds already saved in the versions folder appear here.", 20, 382, 590, 22,
                bodyFont);
    CreateLabel(L"Updates stay in TESSIK storage - not your Downloads folder.", 20, 430, 590, 25,
                bodyFont);

    RefreshInstalledVersions();
    ShowWindow(mainWindow, showCommand);
    UpdateWindow(mainWindow);
    if (!inviteLink.empty()) {
        StartUpdateWorker();
    }

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (comReady) {
        taskbarButton.Detach();
        CoUninitialize();
    }
    return static_cast<int>(message.wParam);
}

#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

// The launcher's top-level window: the target of everything the worker tells
// the player. Written once on the UI thread before any worker starts.
inline HWND mainWindow = nullptr;

// lParam: a heap std::wstring that the window procedure takes over.
inline constexpr UINT WM_LAUNCHER_STATUS = WM_APP + 1;
// wParam 1: a game or a new launcher was started, close. wParam 0: the run
// failed, lParam a heap std::wstring with the failure text.
inline constexpr UINT WM_LAUNCHER_DONE = WM_APP + 2;

// Only with the taskbar-progress build setting: wParam the bytes of the file
// so far, lParam its length (0 while unknown, and while it is being unpacked).
inline constexpr UINT WM_LAUNCHER_PROGRESS = WM_APP + 3;

// Posts a status text to mainWindow; callable from any thread.
void PostStatus(const std::wstring& text);

// Posts the end of a run: started (close the window) or the failure text.
void PostRunStarted();
void PostRunFailed(const std::wstring& failure);

// Whether the launcher shows its progress on the taskbar button (a build
// setting). Defined alone in its own file, so a test program can link its own.
bool TaskbarProgressShown();

// Posts WM_LAUNCHER_PROGRESS when the setting is on: at most ten times a
// second on one thread, but always when `done` reaches `total`.
void PostProgress(std::uint64_t done, std::uint64_t total);

// The window procedure's side: takes over the text a message carries.
std::unique_ptr<std::wstring> TakePostedText(LPARAM lParam);

#pragma once

#include <filesystem>
#include <string>

// Which stored build is current, as recorded in "current-windows.json".
struct LauncherState {
    std::string version = "0.0.0";  // UTF-8, as the manifest named it
    std::filesystem::path path;     // the build's folder
};

inline constexpr wchar_t StateFileName[] = L"current-windows.json";

// The file's exact bytes: {"version":"...","path":"..."} on one line, with
// backslashes and double quotes in both values escaped.
std::string FormatLauncherState(const LauncherState& state);

// Never fails: what cannot be read keeps its default.
LauncherState ReadLauncherState(const std::filesystem::path& stateFile);

// Replaces the file in one step through "<stateFile>.tmp".
void WriteLauncherState(const std::filesystem::path& stateFile, const LauncherState& state);

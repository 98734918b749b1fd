#pragma once

#include <filesystem>
#include <string>

#include <windows.h>

// Starts `program` (named explicitly, never looked up) with the command line,
// in `folder`, inheriting no handles, and lets it run on its own. The reason
// Windows could not start it, ERROR_SUCCESS when it runs.
DWORD StartDetachedProcess(const std::filesystem::path& program, std::wstring commandLine,
                           DWORD creationFlags, const std::filesystem::path& folder);

// The same through the shell, for a program that must run elevated (its
// manifest or the player's compatibility setting says so), which
// CreateProcessW refuses with ERROR_ELEVATION_REQUIRED: Windows asks the
// player first. `parameters` is the command line after the program's name.
// ERROR_CANCELLED when the player declined.
DWORD StartElevatedProcess(const std::filesystem::path& program, const std::wstring& parameters,
                           const std::filesystem::path& folder);

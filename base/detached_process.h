#pragma once

#include <filesystem>
#include <string>

#include <windows.h>

// Starts `program` (named explicitly, never looked up) with the command line,
// in `folder`, inheriting no handles, and lets it run on its own. False when
// Windows could not start it.
bool StartDetachedProcess(const std::filesystem::path& program, std::wstring commandLine,
                          DWORD creationFlags, const std::filesystem::path& folder);

#pragma once

#include <filesystem>
#include <string>

// The game's command line: its quoted path, then the quoted invite link when
// there is one, as the only argument.
std::wstring GameCommandLine(const std::wstring& executable, const std::wstring& invite);

// Starts "tessik.exe" of a stored build in that build's folder, passing the
// invite link, and returns without waiting for it.
void LaunchGame(const std::filesystem::path& buildFolder);

#pragma once

#include <filesystem>
#include <string>

// What follows the game's path on its command line: the quoted invite link
// when there is one, as the only argument; empty otherwise.
std::wstring GameArguments(const std::wstring& invite);

// The game's command line: its quoted path, then GameArguments.
std::wstring GameCommandLine(const std::wstring& executable, const std::wstring& invite);

// Starts "tessik.exe" of a stored build in that build's folder, passing the
// invite link, and returns without waiting for it. A game that must run
// elevated is started through the shell, which asks the player first. Fails
// with SecurityRemovalError when Windows security blocks the file.
void LaunchGame(const std::filesystem::path& buildFolder);

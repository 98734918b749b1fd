#pragma once

#include <filesystem>
#include <string>

// The per-user folder that holds everything the launcher keeps:
// %APPDATA%\Tessik\launcher (or under %LOCALAPPDATA% when APPDATA is empty),
// as a full path with backslashes and no "." or ".." elements.
std::filesystem::path StorageRoot();

// The whole file, or nothing when it cannot be opened.
std::string ReadFileBytes(const std::filesystem::path& file);
// Creates or truncates the file; the folder must exist.
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);

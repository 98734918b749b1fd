#pragma once

#include <filesystem>
#include <string>
#include <vector>

// --- Entry-name rules (no Windows calls) ---

// False for names that could leave the destination folder: empty, rooted, with
// a drive letter, or with a "." or ".." component. Backslashes count as slashes.
bool IsSafeArchiveEntry(std::string name);

// The listing's lines, split at line feeds; a final line feed adds no line.
std::vector<std::string> SplitListingLines(const std::string& listing);

// Checks every listed name and requires "tessik.exe" at the archive's top level.
void CheckArchiveListing(const std::string& listing);

// --- Running the system archive program ---

// The system's own tar.exe, never one found through the search path.
std::filesystem::path SystemTarPath();

// Runs arguments[0] hidden with output and error captured on one pipe; fails
// unless it exits with 0. Returns everything it wrote.
std::string RunCapturedProcess(const std::vector<std::wstring>& arguments);

// Lists and checks the archive, then extracts it into `destination`.
void UnpackUpdateArchive(const std::filesystem::path& archive,
                         const std::filesystem::path& destination);

#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "format/archive_names.h"

// --- Running the system archive program ---

// The system's own tar.exe, never one found through the search path.
std::filesystem::path SystemTarPath();

// Runs arguments[0] hidden with output and error captured on one pipe, in
// `folder` (this process's current folder when empty); fails unless it exits
// with 0. Returns everything it wrote. A folder too long to start a process
// in fails with "The TESSIK storage path is too long for Windows tar".
std::string RunCapturedProcess(const std::vector<std::wstring>& arguments,
                               const std::filesystem::path& folder = {});

// Lists and checks the archive, then extracts it into `destination`. tar.exe
// receives its command line in the ANSI code page, which would garble a
// player's name in a path, so it runs in the archive's folder and is given
// only the archive's name and the destination relative to that folder, which
// must be plain ASCII (the installation's "runtime.zip" and "runtime" are).
// A patch (`wholeBuild` false) need not hold the executable.
void UnpackUpdateArchive(const std::filesystem::path& archive,
                         const std::filesystem::path& destination, bool wholeBuild = true);

// The same for a patch, checked once and unpacked in parts: each part's
// `selection` (tar.exe's member names or "--exclude" options) into its own
// destination, under the same naming rule.
struct ArchivePart {
    std::filesystem::path destination;
    std::vector<std::wstring> selection;
};
void UnpackPatchParts(const std::filesystem::path& archive, const std::vector<ArchivePart>& parts);

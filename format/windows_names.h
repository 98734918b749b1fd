#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/zip_directory.h"

// How Windows' tar.exe and NTFS store a build's entry names. The release tool
// and the launcher judge archives with these same rules, so a build that
// publishes is a build that installs as published. No Windows calls.

// An entry path longer than this leaves too little of the 260-character limit
// once a player's storage path comes in front of it.
constexpr size_t LongEntryPathWarning = 160;

// The name with each UTF-16 unit mapped to its simple uppercase, as NTFS
// compares names (no normalization). Bytes that are not UTF-8 stay as they are.
std::string FoldCaseAsNtfs(std::string_view utf8);

// Empty when Windows' tar.exe stores this one path (UTF-8, "/" or "\" between
// elements) under exactly this name where ordinary programs can open it;
// otherwise why not, worded to follow `The archive entry "<name>" `.
std::string WindowsNameProblem(std::string_view path);

struct EntryProblem {
    std::string entry;  // the name as the central directory holds it
    std::string why;    // worded to follow `The archive entry "<entry>" `
};

// The first entry, in archive order, that Windows would unpack otherwise than
// published: a name of its own (above), a clash with an earlier entry once
// letter case is folded (the same file twice, or a file and a folder of one
// name), or a name shaped like the 8.3 short name of another entry in its
// folder (format/short_names.h). Folders spelled two ways are one folder and
// harmless. How the records themselves read is ReadZipDirectory's to judge.
std::optional<EntryProblem> FindWindowsEntryProblem(const std::vector<ZipEntry>& entries);

#pragma once

#include <string>
#include <vector>

// What an archive's entry names may be, and how tar.exe's listings read. No
// Windows calls.

// False for names that could leave the destination folder: empty, rooted, with
// a drive letter, or with a "." or ".." component. Backslashes count as slashes.
bool IsSafeArchiveEntry(std::string name);

// The listing's lines, split at line feeds; a final line feed adds no line.
std::vector<std::string> SplitListingLines(const std::string& listing);

// Checks every listed name and, unless told otherwise, requires "tessik.exe"
// at the archive's top level.
void CheckArchiveListing(const std::string& listing, bool requireExecutable = true);

// Checks the verbose listing (tar -tv), whose lines begin with each entry's
// type: only files ("-") and folders ("d") may be unpacked. A link ("l", "h")
// could later lead a removal, or the game, out of the build.
void CheckArchiveEntryTypes(const std::string& verboseListing);

#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "publish/authenticode.h"

// One entry name as the archive program's listing shows it (bsdtar -t in a
// UTF-8 locale): printable text as it is, every other byte and every
// backslash escaped. The launcher checks these lines, so the tool does too.
std::string ListingLine(const std::string& name);

// Checks a game archive as the launcher will, and more: every entry's data
// read through (so a bad CRC or a cut archive is found), no link or other
// special entry, exactly one "tessik.exe" at the top level and that one a
// Windows program. Raises std::runtime_error with a sentence naming the entry.
// Needs a UTF-8 locale (the tool sets one at start).
struct GameArchiveFacts {
    Authenticode executableSignature = Authenticode::None;  // of "tessik.exe"
    std::vector<std::string> warnings;
};
GameArchiveFacts CheckGameArchive(const std::filesystem::path& archive);

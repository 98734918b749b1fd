#pragma once

#include <map>
#include <string>

// What the release tool needs to know of a Windows executable, read from the
// file itself (no Windows call, so it runs on the release machine).
struct ExecutableFacts {
    bool pe32Plus = false;  // a 64-bit (x86-64) PE image
    bool guiSubsystem = false;
    std::map<std::string, std::string> versionStrings;  // the version record, UTF-8
};

// Raises std::runtime_error with one sentence when the bytes are not a PE
// image that can be read this way.
ExecutableFacts ReadExecutableFacts(const std::string& image);

// True when the first bytes of a file (at least its headers) are those of a
// Windows program: an MZ stub, a PE header, an executable image, not a DLL.
bool IsWindowsProgramHeader(const std::string& head);

#pragma once

#include <string>

// Written once by the entry point before any window or worker exists, read-only
// afterwards. Deliberately never destroyed: a detached worker may still read
// them while the process exits.
inline std::wstring& inviteLink = *new std::wstring;
inline std::wstring& launcherExecutablePath = *new std::wstring;

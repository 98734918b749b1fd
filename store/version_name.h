#pragma once

#include <string>

// True when a manifest's version can name exactly one folder or file name part
// under the storage root: not empty, "." or "..", no character Windows forbids
// in names, no trailing dot or blank (Windows would drop it and reach another
// name), and not a device name such as CON or COM1 (with or without extension).
bool IsSafeVersionName(const std::wstring& version);

// The version as UTF-16, or LauncherError "The update manifest names an unsafe
// version".
std::wstring SafeVersionName(const std::string& version);

#pragma once

#include <filesystem>
#include <string>

// Windows' file calls stop at 260 characters (248 for a folder) for a plain
// path; an extended-length path ("\\?\...") reaches 32,767. Every path under
// the storage root reaches Windows in that form.

// The extended-length form of a full path ("\\?\C:\..." or "\\?\UNC\server\..."),
// which Windows' file calls take past 260 characters. A path already in that
// form is returned unchanged. No Windows calls.
std::wstring ExtendedLengthPath(const std::wstring& fullPath);

// The absolute extended-length form of any path, with "." and ".." resolved,
// slashes turned into backslashes and trailing separators dropped (the
// extended form takes none of them). Empty when Windows cannot resolve it.
std::wstring LongPath(const std::filesystem::path& path);

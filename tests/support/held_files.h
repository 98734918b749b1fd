#pragma once

#include <windows.h>

#include <functional>
#include <string>

// NTFS refuses to rename a folder while a file inside it is open (access
// denied); Wine renames it. The file seam applies this rule before a move.
namespace file_seam {

// The first file below the folder `path` (extended-length, links not
// followed) for which `wanted` is true; empty when none is, or `path` is no
// folder.
std::wstring FirstFileBelow(LPCWSTR path, const std::function<bool(const std::wstring&)>& wanted);

// True when `path` is a folder with a file somewhere below it that another
// handle holds open.
bool FolderHoldsOpenFile(LPCWSTR path);

}  // namespace file_seam

#pragma once

#include <windows.h>

// NTFS refuses to rename a folder while a file inside it is open (access
// denied); Wine renames it. The file seam applies this rule before a move.
namespace file_seam {

// True when `path` is a folder with a file somewhere below it that another
// handle holds open.
bool FolderHoldsOpenFile(LPCWSTR path);

}  // namespace file_seam

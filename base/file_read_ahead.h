#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>

// Reads an open file from its start to its end in pieces of `pieceSize`
// bytes, the next piece on a second thread while `take` works on this one:
// hashing a large file then costs the hashing alone. True when the whole file
// was read; an exception from `take` ends the reading and is raised.
bool ReadFileAhead(HANDLE file, size_t pieceSize,
                   const std::function<void(const char*, size_t)>& take);

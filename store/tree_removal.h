#pragma once

#include <filesystem>
#include <string>

// --- Removing and examining trees by handle ---
// Each folder is held open while its content is handled, and each entry is
// opened relative to it as itself, so a folder swapped for a link or junction
// in the meantime is never entered: a link is removed (or reported) as a
// link, and what it points at is left alone. No depth exhausts the stack.

// Removes a file, a folder with everything in it, or a link itself. A path
// that does not exist is not an error. Read-only entries are removed too.
// Names go at once where Windows offers POSIX deletion; otherwise a file that
// another program holds stays pending until it is closed, which counts as
// gone, and a folder still holding such a name is tried again for a moment.
// Fails with "Could not remove a folder in TESSIK storage".
void RemoveTree(const std::filesystem::path& path);

// The same, ignoring every failure. False when something could not be removed.
bool TryRemoveTree(const std::filesystem::path& path) noexcept;

// True when the path or anything below it is a link or junction. Fails with
// "Could not examine the unpacked update" when a folder in it cannot be read.
bool TreeHoldsLink(const std::filesystem::path& path);

#pragma once

#include <filesystem>

#include "publish/zip_writer.h"

// Writes the build folder `tree` through `out` as a game zip, always the
// same bytes for the same tree with the same build of the tool: entries
// sorted by the bytes of their names, each file stored or deflated by which
// is smaller, every folder that holds nothing kept, and the zip writer's
// fixed time and flags. Refuses a link or any entry that is neither a file
// nor a folder, naming it, and a file that changes while it is read.
void WriteBuildFolder(const std::filesystem::path& tree, const BytesOut& out);

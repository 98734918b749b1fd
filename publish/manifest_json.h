#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "format/manifest_object.h"

// The text of the manifest at `file`, or nullopt when there is none. Raises
// "The manifest cannot be read" for one that is there but cannot be read.
std::optional<std::string> ReadManifestText(const std::filesystem::path& file);

// The manifest at `file` read as ParseManifestText reads it, or nullopt when
// there is none. Raises the reader's sentence when it cannot be read or parsed.
std::optional<ManifestFields> ReadManifestFile(const std::filesystem::path& file);

// A manifest's text read as every launcher reads it (ReadManifestFields, not
// keyed).
ManifestFields ParseManifestText(const std::string& text);

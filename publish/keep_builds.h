#pragma once

#include <filesystem>
#include <optional>
#include <string>

// How many stored builds players' launchers keep, written into the game's
// manifest as "keep_builds".

// --keep-builds: "N" (1 to 999) as written, "" for "all" (no key); nullopt
// for anything else.
std::optional<std::string> ParseKeepBuildsOption(const std::string& text);

// The value the next game manifest carries: the option's when given, else
// the live manifest's at `liveManifest` (a value launchers would ignore, or a
// manifest that cannot be read, carries nothing over). Empty: no key.
std::string KeepBuildsToWrite(const std::optional<std::string>& option,
                              const std::filesystem::path& liveManifest);

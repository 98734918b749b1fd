#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The record of every build a manifest has named: "DIR/.published-builds",
// the line "tessik-published-builds 1", then one file name of "builds/" a
// line, sorted. A build in "builds/" that it does not name was left by a
// publish that did not finish (its build renamed into place, its manifest
// never written), so no player can have seen it. The record is private to
// the release machine, like ".lock", and is only written under the lock.

extern const char PublishedBuildsFile[];

// The names the record holds; nullopt when there is no record yet. Raises a
// sentence naming the file when it is there but cannot be read.
std::optional<std::set<std::string>> ReadPublishedBuilds(const std::filesystem::path& folder);

// Starts the record when there is none (or one that cannot be read, with a
// warning pushed to `warnings`) with every build now in "builds/": all of
// them count as published, so nothing hosted is taken for a leftover.
void StartPublishedBuilds(const std::filesystem::path& folder, std::vector<std::string>& warnings);

// Adds these names (the empty one skipped) to the record, written whole
// through ".incoming/" and renamed into place; nothing when all are there.
void RecordPublishedBuilds(const std::filesystem::path& folder, const std::set<std::string>& names);

#pragma once

#include <string>
#include <utility>
#include <vector>

#include "publish/publish.h"

// Standard JSON for the --json output (the manifests have their own writer).
std::string JsonText(const std::string& text);

// A JSON object of the given keys and raw JSON values, in order.
std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members);

// A JSON array of raw JSON values.
std::string JsonArray(const std::vector<std::string>& values);

// A command's report as one JSON object: "command", "ok", "dry_run", an
// object per section and "warnings". With `listsOnly` (prune's, one field
// per build) every field is a list.
std::string ReportJson(const std::string& command, bool dryRun, const Report& report,
                       bool listsOnly);

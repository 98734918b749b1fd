#pragma once

#include <string>
#include <utility>
#include <vector>

#include "format/json.h"
#include "publish/publish.h"

// The --json output, its strings written by JsonText (format/json.h), the
// escaper of the manifests too.

// A JSON object of the given keys and raw JSON values, in order.
std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members);

// A JSON array of raw JSON values.
std::string JsonArray(const std::vector<std::string>& values);

// A command's report as one JSON object: "command", "ok", "dry_run", an
// object per section and "warnings". With `listsOnly` (prune's, one field
// per build) every field is a list.
std::string ReportJson(const std::string& command, bool dryRun, const Report& report,
                       bool listsOnly);

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "publish/base_url.h"
#include "publish/manifest_json.h"
#include "publish/publish.h"

// The build a manifest names, when its address points into "builds/".
std::optional<std::filesystem::path> NamedBuild(const std::filesystem::path& folder,
                                                const ManifestFields& manifest);

// The address of the file `name` of "builds/" under the base URL.
std::string BuildUrl(const BaseUrl& base, const std::string& name);

// The four values; what is signed is added as the manifest is written.
ManifestFields BuildManifest(const std::string& version, const std::string& url,
                             const std::string& sha256, const std::string& executable);

std::int64_t SecondsNow();

// The manifest's text, signed before anything is written, so a key that
// cannot sign writes nothing, not even the build.
std::string ManifestText(const ReleaseKind& kind, const std::filesystem::path& folder,
                         ManifestFields fields, const Options& options, Report::Section& section);

// The manifest last, so no launcher reads one whose build is not there yet.
// `text` is `fields` as ManifestText wrote them; the build they name, and the
// one the manifest named until now, are recorded as published first.
void WriteManifest(const ReleaseKind& kind, const std::filesystem::path& folder,
                   const ManifestFields& fields, const std::string& text, const Options& options);

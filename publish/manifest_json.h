#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The fields of one update manifest, as the launcher reads them.
struct ManifestFields {
    std::string version;
    std::string url;
    std::string sha256;
    std::string executable;
    std::string signature;   // empty: unsigned
    std::string buildIndex;  // SHA-256 of the build's index; empty: none
};

// A JSON string the launcher's reader gives back byte for byte. Refuses text
// it could not carry (control characters without a short escape).
std::string JsonString(const std::string& text);

// The one place a manifest's text is made from its fields.
std::string ManifestJson(const ManifestFields& fields);

// The manifest at `file` read with the launcher's own key reader, or nullopt
// when there is none. Raises the reader's sentence when it cannot be read.
std::optional<ManifestFields> ReadManifestFile(const std::filesystem::path& file);

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
    // Signed further keys (base/manifest_signing_text.h); empty: not written.
    std::string sequence;
    std::string expires;
    std::string signature;            // over the four values; empty: unsigned
    std::string fullSignature;        // over the four values and the further keys
    std::string secondFullSignature;  // over every key but the signatures
    bool byteRanges = false;          // the host serves byte ranges of the builds
    std::string buildIndex;           // SHA-256 of the build's index; empty: none
    std::string keepBuilds;           // stored builds players keep; empty: every one
};

// A JSON string the launcher's reader gives back byte for byte. Refuses a
// control character (below 0x20, or 0x7F), which no signed value may hold.
std::string JsonString(const std::string& text);

// The one place a manifest's text is made from its fields. Refuses a value
// with a control character, naming its key.
std::string ManifestJson(const ManifestFields& fields);

// The text of the manifest at `file`, or nullopt when there is none. Raises
// "The manifest cannot be read" for one that is there but cannot be read.
std::optional<std::string> ReadManifestText(const std::filesystem::path& file);

// The manifest at `file` read with the launcher's own key reader, or nullopt
// when there is none. Raises the reader's sentence when it cannot be read or
// parsed.
std::optional<ManifestFields> ReadManifestFile(const std::filesystem::path& file);

// A manifest's text read as the launcher reads it.
ManifestFields ParseManifestText(const std::string& text);

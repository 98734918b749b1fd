#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What the update service publishes for one build (of the game or of the launcher).
struct UpdateManifest {
    std::string version;      // UTF-8, exactly as published (escapes resolved)
    std::wstring url;         // begins with "https://"
    std::string sha256;       // 64 lowercase hex digits
    std::string executable;   // the build's executable file name
    bool byteRanges = false;  // its host serves byte ranges (the optional key)
    // "sequence", read only by a launcher built with a release key.
    std::optional<std::uint64_t> sequence;
    std::string buildIndex;  // SHA-256 of the build's file index; empty: none
    // How many stored builds to keep (1 to 999); empty: every one.
    std::optional<unsigned> keepBuilds;
};

// Reads and validates a manifest; `expectedExecutable` must match byte for
// byte. The keys are read as ReadManifestFields reads them: `keyed` in a
// launcher built with a release key, which takes only a strict JSON object.
UpdateManifest ParseUpdateManifest(const std::string& text, const std::string& expectedExecutable,
                                   bool keyed = false);

// The signed further keys, checked by a launcher built with a release key
// once the signature holds; returns the manifest's sequence. Both are read
// from the strict object ("The update manifest is malformed" for a text that
// is none). Refuses a malformed "sequence" or "expires", a sequence below `remembered` (or none
// once one is remembered) with "The update manifest is older than one already
// seen", and an expiry before `now` (seconds since 1970, UTC) with "The
// update manifest has expired".
std::optional<std::uint64_t> CheckManifestFreshness(const std::string& text,
                                                    std::optional<std::uint64_t> remembered,
                                                    std::int64_t now);

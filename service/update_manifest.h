#pragma once

#include <string>

// What the update service publishes for one build (of the game or of the launcher).
struct UpdateManifest {
    std::string version;      // UTF-8, exactly as published (escapes resolved)
    std::wstring url;         // begins with "https://"
    std::string sha256;       // 64 lowercase hex digits
    std::string executable;   // the build's executable file name
    bool byteRanges = false;  // its host serves byte ranges (the optional key)
};

// Reads and validates a manifest; `expectedExecutable` must match byte for byte.
UpdateManifest ParseUpdateManifest(const std::string& text, const std::string& expectedExecutable);

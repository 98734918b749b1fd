#pragma once

#include <string>

// What the update service publishes for one build (of the game or of the launcher).
struct UpdateManifest {
    std::string version;     // UTF-8, exactly as published (escapes resolved)
    std::wstring url;        // begins with "https://"
    std::string sha256;      // 64 lowercase hex digits
    std::string executable;  // the build's executable file name
    std::string buildIndex;  // SHA-256 of the build's file index; empty: none
};

// The optional key that names the build index's SHA-256 (a value that is not
// 64 hex digits reads as no index).
inline constexpr char BuildIndexKey[] = "build_index";

// Reads and validates a manifest; `expectedExecutable` must match byte for byte.
UpdateManifest ParseUpdateManifest(const std::string& text, const std::string& expectedExecutable);

#pragma once

#include <filesystem>
#include <string>

// Refusals are std::runtime_error with one sentence for the release engineer.

// The digest as the launcher writes it: 64 lowercase hex digits.
std::string Sha256OfFile(const std::filesystem::path& file);

// Checks a game archive exactly as the launcher will: readable, every entry
// name safe, "tessik.exe" at the top level.
void CheckGameArchive(const std::filesystem::path& archive);

// The version record's version text of a launcher executable, after checking
// that it is a 64-bit Windows GUI program named TESSIK-Launcher-Windows-x64.exe.
std::string LauncherVersionOf(const std::filesystem::path& executable);

struct Published {
    std::filesystem::path file;      // the content-addressed copy
    std::filesystem::path manifest;  // the manifest written last
    std::string sha256;
    std::string url;
};

// Publishes into `out` (the host root): the file under "builds/" with its
// digest in the name, then the manifest, atomically. Nothing is written for a
// refused input.
Published PublishGame(const std::filesystem::path& archive, const std::string& version,
                      const std::string& baseUrl, const std::filesystem::path& out);
Published PublishLauncher(const std::filesystem::path& executable, const std::string& baseUrl,
                          const std::filesystem::path& out);

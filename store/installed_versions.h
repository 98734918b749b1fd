#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A stored build that can be started.
struct InstalledVersion {
    std::wstring name;           // the folder's name, shown as the version
    std::filesystem::path path;  // versions folder joined with the name
};

// The builds under "versions" that hold "tessik.exe", newest first. Never
// fails: trouble in the file system gives a shorter list.
std::vector<InstalledVersion> ListInstalledVersions(const std::filesystem::path& root);

// One number per dot-separated component, each read like wcstoul in base 10
// (0 when it has no digits or does not fit in 32 bits).
std::vector<std::uint32_t> ParseVersionNumbers(const std::wstring& version);

// Orders the list shown to the player only; decisions compare exact texts.
bool IsNewerVersion(const std::wstring& a, const std::wstring& b);

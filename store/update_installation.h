#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "service/update_manifest.h"

// "update-<pid>-<ticks>": one installation's staging folder in the storage root.
std::wstring StagingFolderName(std::uint32_t processId, std::uint64_t ticks);

// The process id in a staging folder's name; empty for any other name.
std::optional<std::uint32_t> StagingFolderProcessId(const std::wstring& name);

// Removes staging folders left by launchers that ended in mid-installation
// (their process is gone). Folders of running launchers are left alone.
void RemoveStaleStagingFolders(const std::filesystem::path& root);

// Puts the manifest's build into "versions\<version>" under the storage root
// (downloading, verifying and unpacking it unless it is already there) and
// returns that folder. Nothing of a failed installation remains.
std::filesystem::path InstallUpdate(const UpdateManifest& manifest,
                                    const std::filesystem::path& root);

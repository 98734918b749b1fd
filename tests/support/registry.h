#pragma once

#include <optional>
#include <string>

// The REG_SZ value under HKEY_CURRENT_USER, or nullopt when it is not there.
// An empty name reads the key's default value.
std::optional<std::wstring> ReadUserRegistryString(const std::wstring& key,
                                                   const std::wstring& name);

// Removes the key with everything below it (nothing when it is absent).
void DeleteUserRegistryTree(const std::wstring& key);

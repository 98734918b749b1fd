#pragma once

#include <string>
#include <vector>

// One REG_SZ value under HKEY_CURRENT_USER; an empty name is the key's default.
struct RegistryString {
    std::wstring key;
    std::wstring name;
    std::wstring data;
};

// The four values that make `launcher` the handler of tessik:// links.
std::vector<RegistryString> InviteProtocolValues(const std::wstring& launcher);

// Writes one value; a registry failure is ignored.
void SetUserRegistryString(const RegistryString& value);

// Registers the running launcher for tessik:// links, for the current user.
// Does nothing when its own path is unknown or gone; never fails.
void RegisterInviteProtocol();

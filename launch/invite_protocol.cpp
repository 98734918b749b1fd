#include "launch/invite_protocol.h"

#include <windows.h>

#include <filesystem>

#include "base/long_path_files.h"
#include "base/process_values.h"
#include "base/scoped_handle.h"

std::vector<RegistryString> InviteProtocolValues(const std::wstring& launcher) {
    const std::wstring key = L"Software\\Classes\\tessik";
    // The path stands between quotes as it is: the shell reads it back whole.
    const std::wstring quoted = L"\"" + launcher + L"\"";
    return {
        {key, L"", L"URL:TESSIK Invite"},
        {key, L"URL Protocol", L""},
        {key + L"\\DefaultIcon", L"", quoted + L",0"},
        {key + L"\\shell\\open\\command", L"", quoted + L" \"%1\""},
    };
}

void SetUserRegistryString(const RegistryString& value) {
    HKEY raw = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, value.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &raw, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegistryKey key(raw);
    RegSetValueExW(key.get(), value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.data.c_str()),
                   static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t)));
}

void RegisterInviteProtocol() {
    if (launcherExecutablePath.empty() || !PathExists(launcherExecutablePath)) {
        return;
    }
    for (const RegistryString& value : InviteProtocolValues(launcherExecutablePath)) {
        SetUserRegistryString(value);
    }
}

#include "tests/support/registry.h"

#include <windows.h>

#include <vector>

std::optional<std::wstring> ReadUserRegistryString(const std::wstring& key,
                                                   const std::wstring& name) {
    DWORD size = 0;
    const wchar_t* value = name.empty() ? nullptr : name.c_str();
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), value, RRF_RT_REG_SZ, nullptr, nullptr,
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), value, RRF_RT_REG_SZ, nullptr, data.data(),
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data.data());
}

void DeleteUserRegistryTree(const std::wstring& key) {
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

#include "base/text.h"

#include <windows.h>

#include <vector>

#include "base/launcher_error.h"

std::wstring ReadEnvironmentVariable(const std::wstring& name) {
    const DWORD needed = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (needed == 0) {
        return {};
    }
    std::vector<wchar_t> buffer(needed);
    const DWORD length = GetEnvironmentVariableW(name.c_str(), buffer.data(), needed);
    if (length == 0 || length >= needed) {
        return {};  // unset meanwhile, or it grew between the two calls
    }
    return std::wstring(buffer.data(), length);
}

std::string Utf16ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        throw LauncherError("Could not encode a Windows path");
    }
    std::string result(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), size, nullptr,
                            nullptr) <= 0) {
        throw LauncherError("Could not encode a Windows path");
    }
    return result;
}

std::wstring Utf8ToUtf16(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (size <= 0) {
        throw LauncherError("The update service returned invalid text");
    }
    std::wstring result(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, result.data(),
                            size) <= 0) {
        throw LauncherError("The update service returned invalid text");
    }
    return result;
}

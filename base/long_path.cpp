#include "base/long_path.h"

#include <windows.h>

std::wstring ExtendedLengthPath(const std::wstring& fullPath) {
    if (fullPath.rfind(LR"(\\?\)", 0) == 0) {
        return fullPath;
    }
    if (fullPath.rfind(LR"(\\)", 0) == 0) {
        return LR"(\\?\UNC\)" + fullPath.substr(2);
    }
    return LR"(\\?\)" + fullPath;
}

std::wstring LongPath(const std::filesystem::path& path) {
    const std::wstring text = path.wstring();
    if (text.rfind(LR"(\\?\)", 0) == 0) {
        return text;
    }
    const DWORD needed = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return {};
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(text.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return {};
    }
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\') {
        full.pop_back();
    }
    return ExtendedLengthPath(full);
}

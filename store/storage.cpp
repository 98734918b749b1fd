#include "store/storage.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "app/launcher_error.h"

std::filesystem::path StorageRoot() {
    std::wstring base = ReadEnvironmentVariable(L"APPDATA");
    if (base.empty()) {
        base = ReadEnvironmentVariable(L"LOCALAPPDATA");
    }
    if (base.empty()) {
        throw LauncherError("Windows did not provide an application-data folder");
    }
    return std::filesystem::path(base) / L"Tessik" / L"launcher";
}

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

std::string ReadFileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw LauncherError("Could not write launcher state");
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    // Closing flushes the stream's buffer; a failure there must not pass as a
    // complete file, or a rename could put a truncated state file in place.
    out.close();
    if (out.fail()) {
        throw LauncherError("Could not write launcher state");
    }
}

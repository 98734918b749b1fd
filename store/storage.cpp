#include "store/storage.h"

#include <windows.h>

#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/text.h"

std::filesystem::path StorageRoot() {
    std::wstring base = ReadEnvironmentVariable(L"APPDATA");
    if (base.empty()) {
        base = ReadEnvironmentVariable(L"LOCALAPPDATA");
    }
    if (base.empty()) {
        throw LauncherError("Windows did not provide an application-data folder");
    }
    // One spelling from here on (full, backslashes, no "." or ".."): every
    // later path is made from it, and Windows' volume calls take only that.
    std::wstring full(32768, L'\0');
    const DWORD length =
        GetFullPathNameW(base.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length > 0 && length < full.size()) base = full.substr(0, length);
    return std::filesystem::path(base) / L"Tessik" / L"launcher";
}

std::string ReadFileBytes(const std::filesystem::path& file) {
    return ReadWholeFile(file).value_or(std::string());
}

void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes) {
    WriteWholeFile(file, bytes, "Could not write launcher state");
}

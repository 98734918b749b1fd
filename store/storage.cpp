#include "store/storage.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "base/launcher_error.h"
#include "base/scoped_handle.h"
#include "base/text.h"

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

std::string ReadFileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes) {
    const HANDLE raw = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        throw LauncherError("Could not write launcher state");
    }
    KernelHandle out(raw);
    DWORD written = 0;
    // Flushed before it is closed, so that a file renamed into place after
    // this call holds its bytes on disk, not only in the cache.
    if (bytes.size() > MAXDWORD ||
        !WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(out.get())) {
        throw LauncherError("Could not write launcher state");
    }
}

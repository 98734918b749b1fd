#include "store/storage.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "base/launcher_error.h"
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

#include "store/installed_versions.h"

#include <algorithm>
#include <cerrno>
#include <cwchar>

namespace fs = std::filesystem;

std::vector<std::uint32_t> ParseVersionNumbers(const std::wstring& version) {
    std::vector<std::uint32_t> numbers;
    size_t start = 0;
    while (start < version.size()) {
        size_t dot = version.find(L'.', start);
        if (dot == std::wstring::npos) {
            dot = version.size();
        }
        const std::wstring component = version.substr(start, dot - start);
        // Read as Windows' 32-bit wcstoul reads it, also where long is wider
        // (the release tool orders versions with this on Linux).
        wchar_t* end = nullptr;
        errno = 0;
        const unsigned long long value = std::wcstoull(component.c_str(), &end, 10);
        const unsigned long long magnitude =
            component.find(L'-') < component.find_first_of(L"0123456789") ? 0 - value : value;
        const bool read = end != component.c_str() && errno != ERANGE && magnitude <= UINT32_MAX;
        numbers.push_back(read ? static_cast<std::uint32_t>(value) : 0);
        start = dot + 1;
    }
    return numbers;
}

bool IsNewerVersion(const std::wstring& a, const std::wstring& b) {
    // Lexicographic order makes a list that extends another one the newer.
    return ParseVersionNumbers(b) < ParseVersionNumbers(a);
}

std::vector<InstalledVersion> ListInstalledVersions(const fs::path& root) {
    std::vector<InstalledVersion> builds;
    std::error_code error;
    fs::directory_iterator entry(root / L"versions", error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        std::error_code examine;
        if (entry->is_directory(examine) &&
            fs::is_regular_file(entry->path() / L"tessik.exe", examine)) {
            builds.push_back({entry->path().filename().wstring(), entry->path()});
        }
    }
    std::sort(builds.begin(), builds.end(),
              [](const InstalledVersion& a, const InstalledVersion& b) {
                  return IsNewerVersion(a.name, b.name);
              });
    return builds;
}

#include "store/installed_versions.h"

#include <cerrno>
#include <cwchar>

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

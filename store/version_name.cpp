#include "store/version_name.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "base/launcher_error.h"
#include "base/text.h"

namespace {

bool IsReservedDeviceName(std::wstring stem) {
    // Windows ignores blanks after a device name ("CON .txt" is CON too).
    stem.erase(stem.find_last_not_of(L' ') + 1);
    std::transform(stem.begin(), stem.end(), stem.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") {
        return true;
    }
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
        const wchar_t digit = stem[3];
        return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
               digit == L'\u00B3';
    }
    return false;
}

}  // namespace

bool IsSafeVersionName(const std::wstring& version) {
    if (version.empty() || version == L"." || version == L"..") {
        return false;
    }
    for (const wchar_t c : version) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c) != nullptr) {
            return false;
        }
    }
    if (version.back() == L'.' || version.back() == L' ') {
        return false;
    }
    return !IsReservedDeviceName(version.substr(0, version.find(L'.')));
}

std::wstring SafeVersionName(const std::string& version) {
    std::wstring name = Utf8ToUtf16(version);
    if (!IsSafeVersionName(name)) {
        throw LauncherError("The update manifest names an unsafe version");
    }
    return name;
}

#include "tests/support/held_files.h"

#include <functional>
#include <string>
#include <vector>

namespace {

// Extended-length, so that no path rule of the seam stands in the way.
std::wstring Extended(LPCWSTR path) {
    wchar_t full[32768];
    const DWORD length = GetFullPathNameW(path, 32768, full, nullptr);
    std::wstring text =
        length == 0 || length >= 32768 ? std::wstring(path) : std::wstring(full, length);
    if (text.rfind(L"\\\\?\\", 0) == 0) return text;
    if (text.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
}

// A file is held when it cannot be opened for reading with no sharing at all.
bool IsHeld(const std::wstring& file) {
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace

namespace file_seam {

std::wstring FirstFileBelow(LPCWSTR path, const std::function<bool(const std::wstring&)>& wanted) {
    const std::wstring top = Extended(path);
    const DWORD attributes = GetFileAttributesW(top.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {};
    }
    std::vector<std::wstring> folders{top};
    while (!folders.empty()) {
        const std::wstring folder = folders.back();
        folders.pop_back();
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        std::wstring match;
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = folder + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                folders.push_back(child);
            } else if (wanted(child)) {
                match = child;
            }
        } while (match.empty() && FindNextFileW(search, &found));
        FindClose(search);
        if (!match.empty()) return match;
    }
    return {};
}

bool FolderHoldsOpenFile(LPCWSTR path) { return !FirstFileBelow(path, IsHeld).empty(); }

}  // namespace file_seam

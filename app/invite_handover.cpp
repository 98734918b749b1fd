#include "app/invite_handover.h"

#include <algorithm>

namespace {

constexpr wchar_t LauncherWindowClass[] = L"TessikNativeLauncher";
constexpr UINT HandOverTimeoutMs = 5000;

}  // namespace

bool IsAcceptableInviteLink(std::wstring_view link) {
    constexpr std::wstring_view scheme = L"tessik://";
    return link.size() <= MaxInviteLinkLength && link.substr(0, scheme.size()) == scheme &&
           std::none_of(link.begin(), link.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; });
}

std::optional<std::wstring> ReadHandedOverLink(ULONG_PTR tag, const void* bytes, DWORD byteCount) {
    if (tag != InviteHandOverTag || bytes == nullptr || byteCount % sizeof(wchar_t) != 0 ||
        byteCount > MaxInviteLinkLength * sizeof(wchar_t)) {
        return std::nullopt;
    }
    std::wstring link(byteCount / sizeof(wchar_t), L'\0');
    std::copy_n(static_cast<const char*>(bytes), byteCount, reinterpret_cast<char*>(link.data()));
    if (!IsAcceptableInviteLink(link)) {
        return std::nullopt;
    }
    return link;
}

bool HandOverInviteLink(const std::wstring& link) {
    if (!IsAcceptableInviteLink(link)) {
        return false;
    }
    COPYDATASTRUCT data{};
    data.dwData = InviteHandOverTag;
    data.cbData = static_cast<DWORD>(link.size() * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(link.data());
    for (HWND window = FindWindowExW(nullptr, nullptr, LauncherWindowClass, nullptr);
         window != nullptr; window = FindWindowExW(nullptr, window, LauncherWindowClass, nullptr)) {
        DWORD_PTR taken = FALSE;
        // Bounded: a launcher that hangs must not hang this one.
        if (SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                                SMTO_ABORTIFHUNG | SMTO_BLOCK, HandOverTimeoutMs, &taken) != 0 &&
            taken == TRUE) {
            return true;
        }
    }
    return false;
}

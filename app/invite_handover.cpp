#include "app/invite_handover.h"

#include <algorithm>
#include <exception>

#include "store/installation_lock.h"
#include "store/storage.h"

namespace {

constexpr wchar_t LauncherWindowClass[] = L"TessikNativeLauncher";
constexpr UINT HandOverTimeoutMs = 5000;

}  // namespace

bool IsAcceptableInviteLink(std::wstring_view link) {
    constexpr std::wstring_view scheme = L"tessik://";
    return link.size() <= MaxInviteLinkLength && link.substr(0, scheme.size()) == scheme &&
           std::none_of(link.begin(), link.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; });
}

std::wstring HandOverPayload(const std::wstring& storage, const std::wstring& link) {
    return storage + L'\n' + link;
}

std::optional<std::wstring> ReadHandedOverLink(ULONG_PTR tag, const void* bytes, DWORD byteCount,
                                               const std::wstring& storage) {
    const size_t most = (storage.size() + 1 + MaxInviteLinkLength) * sizeof(wchar_t);
    if (tag != InviteHandOverTag || bytes == nullptr || storage.empty() ||
        byteCount % sizeof(wchar_t) != 0 || byteCount > most) {
        return std::nullopt;
    }
    std::wstring text(byteCount / sizeof(wchar_t), L'\0');
    std::copy_n(static_cast<const char*>(bytes), byteCount, reinterpret_cast<char*>(text.data()));
    const std::wstring prefix = storage + L'\n';
    if (text.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    std::wstring link = text.substr(prefix.size());
    if (!IsAcceptableInviteLink(link)) {
        return std::nullopt;
    }
    return link;
}

std::wstring StorageIdentity() {
    try {
        return InstallationLockName(StorageRoot());
    } catch (const std::exception&) {
        return {};
    }
}

bool HandOverInviteLink(const std::wstring& link) {
    const std::wstring storage = StorageIdentity();
    if (!IsAcceptableInviteLink(link) || storage.empty()) {
        return false;
    }
    const std::wstring payload = HandOverPayload(storage, link);
    COPYDATASTRUCT data{};
    data.dwData = InviteHandOverTag;
    data.cbData = static_cast<DWORD>(payload.size() * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(payload.data());
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

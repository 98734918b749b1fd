#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

// A launcher opened by an invite link while another one runs hands the link
// over to that one's window (WM_COPYDATA) and ends, as Windows programs that
// are already running are expected to.

// Marks a WM_COPYDATA payload as an invite link (UTF-16, no terminator).
inline constexpr ULONG_PTR InviteHandOverTag = 0x54534B49;  // "TSKI"
// Far beyond any real invite; a longer text is not passed to a game.
inline constexpr size_t MaxInviteLinkLength = 2048;

// --- Plain checks (no Windows calls) ---

// A "tessik://" link of at most MaxInviteLinkLength characters with no
// control character in it.
bool IsAcceptableInviteLink(std::wstring_view link);

// The payload: the sender's storage (see StorageIdentity), a line feed, the link.
std::wstring HandOverPayload(const std::wstring& storage, const std::wstring& link);

// The link a WM_COPYDATA payload carries: nullopt for another tag, an odd or
// oversized byte count, a sender that keeps its builds in another storage
// than `storage` (another user's folder, a test's player), or a text that is
// not an acceptable link.
std::optional<std::wstring> ReadHandedOverLink(ULONG_PTR tag, const void* bytes, DWORD byteCount,
                                               const std::wstring& storage);

// --- The storage both launchers must share ---

// The name of this process's storage root's installation lock, which names
// the root as NTFS matches folder names; empty when there is no root.
std::wstring StorageIdentity();

// --- The sender ---

// Offers the link to each running launcher window in turn; true once one that
// keeps its builds in this process's storage has taken it. False when none runs, or each refused it
// (it is ending, or has already started its game), or did not answer within a few seconds.
bool HandOverInviteLink(const std::wstring& link);

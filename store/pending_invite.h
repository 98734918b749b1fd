#pragma once

#include <filesystem>
#include <string>

// A launcher that hands off to its own update restarts with nothing but its
// path on the command line (a shipped launcher must read that hand-off), so
// the invite link it holds waits in "pending-invite.txt" in storage for the
// launcher the hand-off restarts.

inline constexpr wchar_t PendingInviteFileName[] = L"pending-invite.txt";

// Best effort: without the file the restarted launcher opens without a link.
void SavePendingInvite(const std::filesystem::path& root, const std::wstring& link);

// The link saved in the last few minutes, once: the file goes either way, so
// a link never reaches a later, unrelated start. Empty when there is none.
std::wstring TakePendingInvite(const std::filesystem::path& root);

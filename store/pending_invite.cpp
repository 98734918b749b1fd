#include "store/pending_invite.h"

#include <windows.h>

#include <optional>

#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/text.h"
#include "store/retrying_move.h"

namespace {

// A hand-off restarts the launcher within seconds; minutes leave room for a
// slow machine and a scanner, and none for a link from another day.
constexpr uint64_t FreshFor100ns = 5ull * 60 * 10'000'000;

}  // namespace

void SavePendingInvite(const std::filesystem::path& root, const std::wstring& link) {
    if (link.empty()) {
        return;
    }
    try {
        ReplaceFileThroughTemporary(root / PendingInviteFileName, Utf16ToUtf8(link));
    } catch (const LauncherError&) {
    }
}

std::wstring TakePendingInvite(const std::filesystem::path& root) {
    const std::filesystem::path file = root / PendingInviteFileName;
    const std::optional<PathFacts> facts = ReadPathFacts(file);
    if (!facts) {
        return {};
    }
    const std::optional<std::string> text = ReadWholeFile(file);
    RemoveFileAt(file);
    const uint64_t now = FileTimeNow();
    const uint64_t written = FileTimeValue(facts->written);
    if (!text || now < written || now - written > FreshFor100ns) {
        return {};
    }
    try {
        return Utf8ToUtf16(*text);
    } catch (const LauncherError&) {
        return {};
    }
}

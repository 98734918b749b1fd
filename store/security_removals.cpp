#include "store/security_removals.h"

#include <charconv>

#include "base/long_path_files.h"
#include "format/hex.h"
#include "store/retrying_move.h"

std::string FormatSecurityRemovals(const std::string& sha256, unsigned count) {
    return sha256 + ' ' + std::to_string(count) + '\n';
}

unsigned ReadSecurityRemovals(const std::string& text, const std::string& sha256) {
    const std::string prefix = sha256 + ' ';
    if (!IsSha256Hex(sha256) || text.compare(0, prefix.size(), prefix) != 0 ||
        text.back() != '\n') {
        return 0;
    }
    unsigned count = 0;
    const char* first = text.data() + prefix.size();
    const char* last = text.data() + text.size() - 1;
    const auto [end, error] = std::from_chars(first, last, count);
    return error == std::errc() && end == last && first != last ? count : 0;
}

namespace {

std::filesystem::path RecordPath(const std::filesystem::path& root) {
    return root / SecurityRemovalsFileName;
}

}  // namespace

unsigned CountedSecurityRemovals(const std::filesystem::path& root, const std::string& sha256) {
    return ReadSecurityRemovals(ReadWholeFile(RecordPath(root)).value_or(std::string()), sha256);
}

void CountSecurityRemoval(const std::filesystem::path& root, const std::string& sha256) {
    try {
        ReplaceFileThroughTemporary(
            RecordPath(root),
            FormatSecurityRemovals(sha256, CountedSecurityRemovals(root, sha256) + 1));
    } catch (const LauncherError&) {
    }
}

#include <algorithm>

#include "format/launcher_error.h"
#include "format/archive_names.h"

namespace {

// Carriage returns dropped and backslashes turned into slashes.
std::string NormalizeEntryName(std::string name) {
    name.erase(std::remove(name.begin(), name.end(), '\r'), name.end());
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

}  // namespace

bool IsSafeArchiveEntry(std::string name) {
    name = NormalizeEntryName(std::move(name));
    if (name.empty() || name[0] == '/' || (name.size() >= 2 && name[1] == ':')) {
        return false;
    }
    size_t start = 0;
    while (start < name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        const std::string_view component(name.data() + start, end - start);
        if (component == "." || component == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::vector<std::string> SplitListingLines(const std::string& listing) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos) {
            end = listing.size();
        }
        lines.emplace_back(listing, start, end - start);
        start = end + 1;
    }
    return lines;
}

void CheckArchiveListing(const std::string& listing, bool requireExecutable) {
    bool hasExecutable = false;
    for (const std::string& line : SplitListingLines(listing)) {
        if (!IsSafeArchiveEntry(line)) {
            throw LauncherError("The update archive contains an unsafe path");
        }
        hasExecutable = hasExecutable || NormalizeEntryName(line) == "tessik.exe";
    }
    if (requireExecutable && !hasExecutable) {
        throw LauncherError("The update archive is missing tessik.exe");
    }
}

void CheckArchiveEntryTypes(const std::string& verboseListing) {
    for (const std::string& line : SplitListingLines(verboseListing)) {
        const char type = line.empty() ? '?' : line.front();
        if (type == 'l' || type == 'h') {
            throw LauncherError("The update archive contains a link");
        }
        if (type != '-' && type != 'd') {
            throw LauncherError(
                "The update archive contains an entry that is not a file or folder");
        }
    }
}

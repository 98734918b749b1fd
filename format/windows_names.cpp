#include "format/windows_names.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "format/archive_names.h"
#include "format/short_names.h"
#include "format/utf8.h"

namespace {

constexpr std::pair<uint16_t, uint16_t> UpcaseTable[] = {
#include "format/ntfs_upcase_table.inc"
};

constexpr size_t MaxNameUnits = 255;
constexpr std::string_view RewrittenCharacters = ":*?\"<>|";

// Device names Win32 opens instead of a file, whatever follows a dot.
constexpr std::array<std::string_view, 30> DeviceNames = {
    "CON",       "PRN",       "AUX",       "NUL",       "CONIN$",    "CONOUT$",  "COM1", "COM2",
    "COM3",      "COM4",      "COM5",      "COM6",      "COM7",      "COM8",     "COM9", "LPT1",
    "LPT2",      "LPT3",      "LPT4",      "LPT5",      "LPT6",      "LPT7",     "LPT8", "LPT9",
    "COM\u00B9", "COM\u00B2", "COM\u00B3", "LPT\u00B9", "LPT\u00B2", "LPT\u00B3"};

char32_t UpcaseUnit(char32_t point) {
    if (point > 0xFFFF) return point;  // NTFS folds single UTF-16 units only
    const auto found = std::lower_bound(
        std::begin(UpcaseTable), std::end(UpcaseTable), point,
        [](const std::pair<uint16_t, uint16_t>& pair, char32_t unit) { return pair.first < unit; });
    return found != std::end(UpcaseTable) && found->first == point ? found->second : point;
}

size_t Utf16Length(std::string_view text) {
    size_t units = 0;
    for (size_t at = 0; at < text.size();) {
        const std::optional<char32_t> point = DecodeUtf8(text, at);
        if (!point) {
            ++at;
            ++units;
            continue;
        }
        units += *point > 0xFFFF ? 2 : 1;
    }
    return units;
}

bool IsDeviceName(std::string_view element) {
    std::string_view base = element.substr(0, element.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    const std::string folded = FoldCaseAsNtfs(base);
    return std::find(DeviceNames.begin(), DeviceNames.end(), folded) != DeviceNames.end();
}

// The path's elements, with "\" as a separator and empty elements dropped (as
// Windows drops them).
std::vector<std::string_view> SplitElements(std::string_view path) {
    std::vector<std::string_view> elements;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) elements.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return elements;
}

std::string ElementProblem(std::string_view element) {
    if (std::any_of(element.begin(), element.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        return "holds a control character, which Windows cannot store in a name";
    }
    if (element.find_first_of(RewrittenCharacters) != std::string_view::npos) {
        return "holds a character that Windows' tar.exe writes as \"_\"";
    }
    if (element.back() == '.' || element.back() == ' ') {
        return "has a name ending in a dot or a blank, which Windows programs cannot open";
    }
    if (IsDeviceName(element)) {
        return "has a name that Windows reserves for a device";
    }
    if (Utf16Length(element) > MaxNameUnits) {
        return "has a name longer than 255 characters";
    }
    return {};
}

// Remembers each path as NTFS will hold it, to find entries that would land
// on one another.
class FoldedTree {
  public:
    std::string AddFile(const std::string& name, const std::string& key) {
        if (folders_.count(key) != 0)
            return "is a file where another entry needs a folder of that name";
        const auto [earlier, added] = files_.emplace(key, name);
        if (!added) return "is the same file on Windows as the entry \"" + earlier->second + "\"";
        return AddParents(key);
    }
    std::string AddFolder(const std::string& key) {
        std::string problem = AddParents(key);
        if (problem.empty() && files_.count(key) != 0) {
            problem = "is a folder of the same name as the file \"" + files_.at(key) + "\"";
        }
        folders_.insert(key);
        return problem;
    }

  private:
    std::string AddParents(const std::string& key) {
        for (size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1)) {
            const std::string parent = key.substr(0, slash);
            if (files_.count(parent) != 0) {
                return "lies under the file \"" + files_.at(parent) +
                       "\", which Windows cannot hold as a folder";
            }
            folders_.insert(parent);
        }
        return {};
    }

    std::unordered_map<std::string, std::string> files_;
    std::unordered_set<std::string> folders_;
};

}  // namespace

std::string FoldCaseAsNtfs(std::string_view utf8) {
    std::string folded;
    folded.reserve(utf8.size());
    for (size_t at = 0; at < utf8.size();) {
        const std::optional<char32_t> point = DecodeUtf8(utf8, at);
        if (!point) {
            folded.push_back(utf8[at++]);
            continue;
        }
        AppendUtf8(folded, UpcaseUnit(*point));
    }
    return folded;
}

std::string WindowsNameProblem(std::string_view path) {
    if (!IsSafeArchiveEntry(std::string(path))) {
        return "could be unpacked outside the build's folder";
    }
    for (const std::string_view element : SplitElements(path)) {
        if (std::string problem = ElementProblem(element); !problem.empty()) return problem;
    }
    return {};
}

std::optional<EntryProblem> FindWindowsEntryProblem(const std::vector<ZipEntry>& entries) {
    std::unordered_set<std::string> names;
    FoldedTree tree;
    std::vector<FolderElement> elements;
    for (size_t number = 0; number < entries.size(); ++number) {
        const ZipEntry& entry = entries[number];
        std::string why = WindowsNameProblem(entry.name);
        if (why.empty() && !names.insert(entry.name).second) why = "appears twice";
        if (why.empty()) {
            std::string key;
            for (const std::string_view element : SplitElements(entry.name)) {
                FolderElement& added = elements.emplace_back();
                added.folder = key;
                added.element = FoldCaseAsNtfs(element);
                added.spelled = element;
                added.entry = number;
                if (!key.empty()) key += '/';
                key += added.element;
            }
            why = entry.isFolder ? tree.AddFolder(key) : tree.AddFile(entry.name, key);
        }
        if (!why.empty()) return EntryProblem{entry.name, why};
    }
    if (const std::optional<ShortNameAlias> alias = FindShortNameAlias(elements)) {
        return EntryProblem{entries[alias->entry].name,
                            "has a name shaped like the short name Windows may give \"" +
                                alias->aliased +
                                "\" in its folder, and would open that file on a volume that "
                                "makes 8.3 names"};
    }
    return std::nullopt;
}

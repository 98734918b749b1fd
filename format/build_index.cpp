#include "format/build_index.h"

#include <algorithm>
#include <charconv>

#include "format/hex.h"
#include "format/launcher_error.h"
#include "format/archive_names.h"
#include "format/windows_names.h"

namespace {

constexpr std::string_view IndexHeader = "tessik-build-index 1";
constexpr std::string_view DeltaIndexHeader = "tessik-build-index 2";

[[noreturn]] void Unusable() { throw LauncherError("The build index is not usable"); }

void CheckIndexPath(std::string_view path) {
    if (!IsUsableIndexPath(path)) Unusable();
}

// Splits off the text up to the next blank; fails when there is none.
std::string_view TakeWord(std::string_view& rest) {
    const size_t blank = rest.find(' ');
    if (blank == std::string_view::npos || blank == 0) Unusable();
    const std::string_view word = rest.substr(0, blank);
    rest.remove_prefix(blank + 1);
    return word;
}

}  // namespace

bool IsUsableIndexPath(std::string_view path) {
    return IsPlainIndexPath(path) && IsSafeArchiveEntry(std::string(path)) &&
           WindowsNameProblem(path).empty();
}

bool IsPlainIndexPath(std::string_view path) {
    if (path.find('\\') != std::string_view::npos) return false;
    for (size_t start = 0;;) {
        const size_t slash = path.find('/', start);
        if (slash == start || start == path.size()) return false;  // an empty element
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

std::string IndexPathKey(std::string_view path) {
    std::string joined;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) {
            if (!joined.empty()) joined += '/';
            joined.append(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return FoldCaseAsNtfs(joined);
}

std::string FormatBuildIndex(const BuildIndex& index) {
    const bool delta = std::any_of(index.patches.begin(), index.patches.end(),
                                   [](const IndexPatch& patch) { return patch.delta; });
    std::string text = std::string(delta ? DeltaIndexHeader : IndexHeader) + "\nbuild " +
                       index.buildSha256 + " " + index.version + "\n";
    for (const IndexFile& file : index.files) {
        text += "file " + std::to_string(file.size) + " " + file.sha256 + " " + file.path + "\n";
    }
    for (const std::string& folder : index.folders) text += "folder " + folder + "\n";
    for (const IndexPatch& patch : index.patches) {
        text += (patch.delta ? "delta " : "patch ") + patch.sha256 + " " + patch.fromVersion + "\n";
    }
    return text;
}

BuildIndex ParseBuildIndex(std::string_view text) {
    if (text.size() > BuildIndexLimit || text.empty() || text.back() != '\n') Unusable();
    BuildIndex index;
    bool header = true;
    bool deltas = false;  // the format that may list block-level patches
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (header) {
            if (line != IndexHeader && line != DeltaIndexHeader) Unusable();
            deltas = line == DeltaIndexHeader;
            header = false;
            continue;
        }
        const std::string_view kind = TakeWord(line);
        if (kind == "build") {
            const std::string_view digest = TakeWord(line);
            if (!IsSha256Hex(digest) || line.empty() || !index.buildSha256.empty()) Unusable();
            index.buildSha256 = digest;
            index.version = line;
        } else if (kind == "file") {
            const std::string_view size = TakeWord(line);
            const std::string_view digest = TakeWord(line);
            IndexFile file{std::string(line), 0, std::string(digest)};
            const auto [at, error] =
                std::from_chars(size.data(), size.data() + size.size(), file.size);
            if (error != std::errc() || at != size.data() + size.size() || !IsSha256Hex(digest)) {
                Unusable();
            }
            CheckIndexPath(line);
            index.files.push_back(std::move(file));
        } else if (kind == "folder") {
            CheckIndexPath(line);
            index.folders.emplace_back(line);
        } else if (kind == "patch" || (deltas && kind == "delta")) {
            const std::string_view digest = TakeWord(line);
            if (!IsSha256Hex(digest) || line.empty()) Unusable();
            index.patches.push_back({std::string(digest), std::string(line), kind == "delta"});
        } else {
            Unusable();
        }
    }
    // Two entries that are one file on NTFS, or a file where a folder must
    // be, cannot both be created.
    const IndexLookup lookup(index);
    if (lookup.files.size() != index.files.size()) Unusable();
    for (const auto& [key, file] : lookup.files) {
        if (lookup.folders.count(key) != 0) Unusable();
    }
    if (lookup.files.count(IndexPathKey("tessik.exe")) == 0 ||
        std::none_of(index.files.begin(), index.files.end(),
                     [](const IndexFile& file) { return file.path == "tessik.exe"; })) {
        Unusable();
    }
    return index;
}

IndexLookup::IndexLookup(const BuildIndex& index) {
    const auto addParents = [this](const std::string& key) {
        for (size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1)) {
            folders.emplace(key.substr(0, slash), false);
        }
    };
    for (const IndexFile& file : index.files) {
        const std::string key = IndexPathKey(file.path);
        files.emplace(key, &file);
        addParents(key);
    }
    for (const std::string& folder : index.folders) {
        const std::string key = IndexPathKey(folder);
        folders[key] = true;
        addParents(key);
    }
}

std::vector<IndexFile> ChangedFiles(const BuildIndex& from, const BuildIndex& to) {
    const IndexLookup earlier(from);
    std::vector<IndexFile> changed;
    for (const IndexFile& file : to.files) {
        const auto found = earlier.files.find(IndexPathKey(file.path));
        if (found == earlier.files.end() || found->second->sha256 != file.sha256 ||
            found->second->size != file.size) {
            changed.push_back(file);
        }
    }
    return changed;
}

std::string SiblingAddress(const std::string& buildUrl, const std::string& name) {
    const std::string path = buildUrl.substr(0, buildUrl.find_first_of("?#"));
    return path.substr(0, path.rfind('/') + 1) + name;
}

std::string BuildIndexFileName(const std::string& sha256) { return sha256 + ".index"; }

std::string PatchFileName(const std::string& sha256) { return sha256 + ".patch.zip"; }

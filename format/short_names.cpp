#include "format/short_names.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr size_t MaxAliasStem = 6;
constexpr std::string_view ForbiddenIn83 = "\"*+,/:;<=>?[\\]|";

bool IsShortNameCharacter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7F && c != '.' &&
           ForbiddenIn83.find(c) == std::string_view::npos;
}

// Base and extension at the last dot (no extension without a dot).
std::pair<std::string_view, std::string_view> SplitExtension(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return {name, {}};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

// The two ways Windows may have cleaned a part: forbidden characters and
// bytes outside ASCII dropped, or written as "_". Spaces and dots go in both.
std::pair<std::string, std::string> CleanedForms(std::string_view part) {
    std::string dropped, underscored;
    for (const char c : part) {
        if (c == ' ' || c == '.') continue;
        if (IsShortNameCharacter(c)) {
            dropped.push_back(c);
            underscored.push_back(c);
        } else {
            underscored.push_back('_');
        }
    }
    return {dropped, underscored};
}

struct AliasShape {
    std::string_view stem;
    std::string_view extension;
};

// "STEM~digits[.EXT]" with a stem of one to six characters.
std::optional<AliasShape> ShapeOf(std::string_view element) {
    const auto [base, extension] = SplitExtension(element);
    const size_t tilde = base.find('~');
    if (tilde == std::string_view::npos || tilde == 0 || tilde > MaxAliasStem ||
        tilde + 1 == base.size() || base.size() > 8 || extension.size() > 3 ||
        (element.find('.') != std::string_view::npos && extension.empty())) {
        return std::nullopt;
    }
    const std::string_view digits = base.substr(tilde + 1);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        !std::all_of(base.begin(), base.begin() + static_cast<long>(tilde), IsShortNameCharacter) ||
        !std::all_of(extension.begin(), extension.end(), IsShortNameCharacter)) {
        return std::nullopt;
    }
    return AliasShape{base.substr(0, tilde), extension};
}

std::string Key(const std::string& folder, std::string_view stem, std::string_view extension) {
    std::string key = folder;
    key += '\0';
    key.append(stem);
    key += '\0';
    key.append(extension);
    return key;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool IsValidShortName(std::string_view name) {
    const auto [base, extension] = SplitExtension(name);
    return !base.empty() && base.size() <= 8 && extension.size() <= 3 &&
           (name.find('.') == std::string_view::npos || !extension.empty()) &&
           std::all_of(base.begin(), base.end(), IsShortNameCharacter) &&
           std::all_of(extension.begin(), extension.end(), IsShortNameCharacter);
}

std::optional<ShortNameAlias> FindShortNameAlias(const std::vector<FolderElement>& elements) {
    // Every stem an alias of a long name could start with, by folder and
    // extension: at most a dozen keys a name, so the check stays linear.
    std::unordered_map<std::string, const std::string*> stems;
    std::unordered_set<std::string> seen;
    for (const FolderElement& item : elements) {
        if (IsValidShortName(item.element) ||
            !seen.insert(item.folder + '\0' + item.element).second) {
            continue;
        }
        const auto [base, extension] = SplitExtension(item.element);
        const auto [droppedBase, underscoredBase] = CleanedForms(base);
        const auto [droppedExtension, underscoredExtension] = CleanedForms(extension);
        for (const auto& [stem, ext] : {std::pair(droppedBase, droppedExtension),
                                        std::pair(underscoredBase, underscoredExtension)}) {
            const std::string_view three = std::string_view(ext).substr(0, 3);
            for (size_t length = 1; length <= std::min(stem.size(), MaxAliasStem); ++length) {
                stems.emplace(Key(item.folder, std::string_view(stem).substr(0, length), three),
                              &item.spelled);
            }
        }
    }
    std::optional<ShortNameAlias> first;
    for (const FolderElement& item : elements) {
        if (first && first->entry <= item.entry) continue;
        const std::optional<AliasShape> shape = ShapeOf(item.element);
        if (!shape) continue;
        auto found = stems.find(Key(item.folder, shape->stem, shape->extension));
        // After a few aliases of one stem Windows writes two characters and a
        // four-digit hash instead.
        if (found == stems.end() && shape->stem.size() == MaxAliasStem &&
            std::all_of(shape->stem.begin() + 2, shape->stem.end(), IsHexDigit)) {
            found = stems.find(Key(item.folder, shape->stem.substr(0, 2), shape->extension));
        }
        if (found != stems.end()) {
            first = ShortNameAlias{item.entry, *found->second};
        }
    }
    return first;
}

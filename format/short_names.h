#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// On volumes that make 8.3 short names, a name shaped like one opens the file
// it is the alias of: "TEXTUR~1.PAK" written after "textures-big.pak"
// replaces it. No Windows calls.

// One element of a path: the folder that holds it and its own name, both with
// letter case folded as NTFS folds it, and the number of the entry it came from.
struct FolderElement {
    std::string folder;
    std::string element;
    std::string spelled;  // the element as the entry writes it
    size_t entry = 0;
};

// Whether `name` fits 8.3 as it is, so NTFS gives it no short name of its own.
bool IsValidShortName(std::string_view name);

// The first entry (by number) with an element shaped like a short name (one
// to six characters, "~", digits, an extension of up to three) whose folder
// holds a name that is not itself 8.3 and whose short name could be it: its
// first characters once spaces, dots and characters 8.3 forbids are dropped
// or written as "_", and the first three of its extension. Returns that entry
// and the other element's name. Linear in the elements.
struct ShortNameAlias {
    size_t entry = 0;
    std::string aliased;
};
std::optional<ShortNameAlias> FindShortNameAlias(const std::vector<FolderElement>& elements);

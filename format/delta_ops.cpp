#include "format/delta_ops.h"

#include <charconv>
#include <initializer_list>
#include <set>

#include "format/hex.h"
#include "format/launcher_error.h"
#include "format/windows_names.h"

namespace {

constexpr std::string_view DeltaHeader = "tessik-delta 1";

[[noreturn]] void Unusable() { throw LauncherError("The delta patch is not usable"); }

// Splits off the text up to the next blank, or the rest when `last`.
std::string_view TakeWord(std::string_view& rest, bool last = false) {
    const size_t blank = last ? rest.size() : rest.find(' ');
    if (blank == std::string_view::npos || blank == 0) Unusable();
    const std::string_view word = rest.substr(0, blank);
    rest.remove_prefix(last ? blank : blank + 1);
    return word;
}

// A decimal number with one spelling only: no sign, no leading zero.
uint64_t TakeNumber(std::string_view& rest, bool last = false) {
    const std::string_view word = TakeWord(rest, last);
    uint64_t value = 0;
    const auto [at, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || at != word.data() + word.size() ||
        (word.size() > 1 && word[0] == '0')) {
        Unusable();
    }
    return value;
}

// The index's path rules, with no empty element (one file, one spelling).
void CheckPath(std::string_view path, std::set<std::string>& seen) {
    if (!IsUsableIndexPath(path) || path.find("//") != std::string_view::npos ||
        HoldsDeltaFolderName(path) || !seen.insert(IndexPathKey(path)).second) {
        Unusable();
    }
}

// Size, digest and path, the common tail of source and output lines.
template <typename File>
File TakeFile(std::string_view line, std::set<std::string>& seen) {
    File file;
    file.size = TakeNumber(line);
    file.sha256 = TakeWord(line);
    if (!IsSha256Hex(file.sha256)) Unusable();
    CheckPath(line, seen);
    file.path = line;
    return file;
}

// The operations of an output add up to its size exactly.
void CheckComplete(const DeltaOutput& output, uint64_t written) {
    if (written != output.size) Unusable();
}

}  // namespace

std::string LiteralEntryName(size_t output) {
    return std::string(DeltaFolder) + "/" + std::to_string(output);
}

bool HoldsDeltaFolderName(std::string_view path) {
    static const std::string folded = FoldCaseAsNtfs(DeltaFolder);
    const std::string key = IndexPathKey(path);
    for (size_t start = 0; start <= key.size();) {
        size_t end = key.find('/', start);
        if (end == std::string::npos) end = key.size();
        if (std::string_view(key).substr(start, end - start) == folded) return true;
        start = end + 1;
    }
    return false;
}

std::string FormatDeltaOperations(const DeltaOperations& operations) {
    std::string text(DeltaHeader);
    text += '\n';
    const auto line = [&text](std::string_view kind, std::initializer_list<uint64_t> numbers,
                              std::string_view rest = {}) {
        text += kind;
        for (const uint64_t number : numbers) {
            text += ' ';
            text += std::to_string(number);
        }
        if (!rest.empty()) {
            text += ' ';
            text += rest;
        }
        text += '\n';
    };
    for (const DeltaSource& source : operations.sources) {
        line("source", {source.size}, source.sha256 + " " + source.path);
    }
    for (const DeltaOutput& output : operations.outputs) {
        line("output", {output.size}, output.sha256 + " " + output.path);
        for (const DeltaOperation& operation : output.operations) {
            if (operation.source == LiteralSource) {
                line("literal", {operation.length});
            } else {
                line("copy", {operation.source, operation.offset, operation.length});
            }
        }
    }
    return text;
}

DeltaOperations ParseDeltaOperations(std::string_view text) {
    if (text.size() > DeltaOperationsLimit || text.empty() || text.back() != '\n') Unusable();
    DeltaOperations read;
    std::set<std::string> sourcePaths;
    std::set<std::string> outputPaths;
    uint64_t written = 0;  // by the operations of the last output so far
    bool header = true;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (header) {
            if (line != DeltaHeader) Unusable();
            header = false;
            continue;
        }
        const std::string_view kind = TakeWord(line);
        if (kind == "source") {
            if (!read.outputs.empty() || read.sources.size() >= LiteralSource) Unusable();
            read.sources.push_back(TakeFile<DeltaSource>(line, sourcePaths));
        } else if (kind == "output") {
            if (!read.outputs.empty()) CheckComplete(read.outputs.back(), written);
            read.outputs.push_back(TakeFile<DeltaOutput>(line, outputPaths));
            written = 0;
        } else if (kind == "copy" || kind == "literal") {
            if (read.outputs.empty()) Unusable();
            DeltaOutput& output = read.outputs.back();
            DeltaOperation operation;
            if (kind == "copy") {
                const uint64_t source = TakeNumber(line);
                if (source >= read.sources.size()) Unusable();
                operation.source = static_cast<uint32_t>(source);
                operation.offset = TakeNumber(line);
            }
            operation.length = TakeNumber(line, true);
            if (operation.length == 0 || operation.length > output.size - written) Unusable();
            if (operation.source != LiteralSource) {
                const uint64_t size = read.sources[operation.source].size;
                if (operation.offset > size || operation.length > size - operation.offset) {
                    Unusable();
                }
            } else {
                output.literalBytes += operation.length;
            }
            written += operation.length;
            output.operations.push_back(operation);
        } else {
            Unusable();
        }
    }
    if (header) Unusable();
    if (!read.outputs.empty()) CheckComplete(read.outputs.back(), written);
    return read;
}

void CheckDeltaAgainstIndex(const DeltaOperations& operations, const BuildIndex& index) {
    const IndexLookup lookup(index);
    for (const auto& [key, file] : lookup.files) {
        if (HoldsDeltaFolderName(file->path)) Unusable();
    }
    for (const std::string& folder : index.folders) {
        if (HoldsDeltaFolderName(folder)) Unusable();
    }
    for (const DeltaOutput& output : operations.outputs) {
        const auto file = lookup.files.find(IndexPathKey(output.path));
        if (file == lookup.files.end() || file->second->path != output.path ||
            file->second->size != output.size || file->second->sha256 != output.sha256) {
            Unusable();
        }
    }
}

#include "format/delta_apply.h"

#include <algorithm>
#include <array>
#include <map>

#include "format/crc32.h"
#include "format/launcher_error.h"
#include "format/windows_names.h"

namespace {

constexpr size_t CopyBufferSize = 1 << 20;
[[noreturn]] void Unusable() { throw LauncherError("The delta patch is not usable"); }

// The output's number when `name` is exactly a literal entry's name, or -1.
// Only that spelling: tar.exe is given the folder's name as a pattern, which
// matches letter case exactly.
long long LiteralNumber(const std::string& name) {
    const std::string prefix = std::string(DeltaFolder) + "/";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
    const std::string number = name.substr(prefix.size());
    if (number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos ||
        (number.size() > 1 && number[0] == '0')) {
        return -1;
    }
    return std::stoll(number);
}

}  // namespace

std::string ReadDeltaOperationsEntry(ByteRangeSource& zip, const ZipEntry& first) {
    // The directory reader has matched the local header to this record.
    if (first.name != DeltaOperationsEntry || first.headerOffset != 0 || first.method != 0 ||
        first.size != first.compressedSize || first.size > DeltaOperationsLimit) {
        Unusable();
    }
    std::string text(static_cast<size_t>(first.size), '\0');
    if (!text.empty()) zip.ReadAt(first.dataOffset, text.data(), text.size());
    if (Crc32(text) != first.crc) Unusable();
    return text;
}

DeltaPatchBytes CheckDeltaPatchEntries(const std::vector<ZipEntry>& entries,
                                       const DeltaOperations& operations, const BuildIndex& index) {
    if (entries.empty() || entries.front().name != DeltaOperationsEntry ||
        FindWindowsEntryProblem(entries)) {
        Unusable();
    }
    const IndexLookup lookup(index);
    std::map<std::string, const DeltaOutput*> outputs;
    for (const DeltaOutput& output : operations.outputs) {
        outputs.emplace(IndexPathKey(output.path), &output);
    }
    std::vector<bool> literalSeen(operations.outputs.size(), false);
    DeltaPatchBytes bytes;
    for (size_t i = 0; i < entries.size(); ++i) {
        const ZipEntry& entry = entries[i];
        // The key drops the folder's trailing "/" with any other empty element.
        const std::string key = IndexPathKey(entry.name);
        if (entry.isFolder) {
            if (entry.name != std::string(DeltaFolder) + "/" &&
                (HoldsDeltaFolderName(key) || lookup.folders.count(key) == 0)) {
                Unusable();
            }
            continue;
        }
        if (i == 0) {
            bytes.literal += entry.size;
            continue;
        }
        const long long number = LiteralNumber(entry.name);
        if (number >= 0) {
            const size_t n = static_cast<size_t>(number);
            if (n >= operations.outputs.size() || literalSeen[n] ||
                entry.size != operations.outputs[n].literalBytes || entry.size == 0) {
                Unusable();
            }
            literalSeen[n] = true;
            bytes.literal += entry.size;
            continue;
        }
        const auto file = lookup.files.find(key);
        if (HoldsDeltaFolderName(entry.name) || file == lookup.files.end() ||
            file->second->size != entry.size || outputs.count(key) != 0) {
            Unusable();
        }
        bytes.whole += entry.size;
    }
    for (size_t n = 0; n < operations.outputs.size(); ++n) {
        if (literalSeen[n] != (operations.outputs[n].literalBytes != 0)) Unusable();
    }
    return bytes;
}

void ApplyDeltaOutput(const DeltaOperations& operations, size_t output,
                      const std::function<ByteRangeSource&(uint32_t)>& source, ByteStream* literals,
                      ByteSink& into) {
    const DeltaOutput& file = operations.outputs.at(output);
    if ((file.literalBytes != 0) != (literals != nullptr)) Unusable();
    std::vector<char> buffer(CopyBufferSize);
    for (const DeltaOperation& operation : file.operations) {
        for (uint64_t done = 0; done < operation.length;) {
            const size_t count =
                static_cast<size_t>(std::min<uint64_t>(buffer.size(), operation.length - done));
            if (operation.source == LiteralSource) {
                const size_t got = literals->Read(buffer.data(), count);
                if (got == 0) Unusable();
                into.Write(buffer.data(), got);
                done += got;
            } else {
                source(operation.source).ReadAt(operation.offset + done, buffer.data(), count);
                into.Write(buffer.data(), count);
                done += count;
            }
        }
    }
    if (literals != nullptr && literals->Read(buffer.data(), 1) != 0) Unusable();
}

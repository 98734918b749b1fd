#include "publish/patch_content.h"

#include <algorithm>
#include <map>

#include "publish/block_table.h"
#include "publish/build_entries.h"

namespace fs = std::filesystem;

namespace {

// The bytes a zip spends on one entry besides its data: a local header and a
// central record, each with the name.
uint64_t EntryOverhead(const std::string& name) { return 30 + 46 + 2 * name.size(); }

bool HoldsDeltaFolder(const BuildIndex& index) {
    return std::any_of(index.files.begin(), index.files.end(),
                       [](const IndexFile& file) { return HoldsDeltaFolderName(file.path); }) ||
           std::any_of(index.folders.begin(), index.folders.end(),
                       [](const std::string& folder) { return HoldsDeltaFolderName(folder); });
}

SourceBlockTable TableOf(const EarlierBuild& earlier, EarlierFiles& files) {
    std::vector<uint64_t> sizes;
    for (const IndexFile& file : earlier.index.files) sizes.push_back(file.size);
    SourceBlockTable table(sizes);
    std::vector<char> buffer(1 << 20);
    for (uint32_t n = 0; n < sizes.size(); ++n) {
        if (sizes[n] < table.BlockSize()) continue;  // holds no whole block
        EntryStream in(files.Zip(), files.Entry(n));
        uint64_t read = 0;
        for (size_t got; (got = in.Read(buffer.data(), buffer.size())) > 0; read += got) {
            table.Add(n, buffer.data(), got);
        }
        if (read != sizes[n]) throw std::runtime_error("The archive is damaged");
    }
    return table;
}

// Numbers only the earlier files some copy reads, in the earlier build's
// order, so that the launcher checks no file it does not need.
void KeepUsedSources(PatchContent& content, const BuildIndex& earlier) {
    std::map<uint32_t, uint32_t> renumbered;
    for (const DeltaOutput& output : content.delta.outputs) {
        for (const DeltaOperation& operation : output.operations) {
            if (operation.source != LiteralSource) renumbered.emplace(operation.source, 0);
        }
    }
    for (auto& [old, now] : renumbered) {
        now = static_cast<uint32_t>(content.delta.sources.size());
        const IndexFile& file = earlier.files[old];
        content.delta.sources.push_back({file.path, file.size, file.sha256});
    }
    for (DeltaOutput& output : content.delta.outputs) {
        for (DeltaOperation& operation : output.operations) {
            if (operation.source != LiteralSource) operation.source = renumbered[operation.source];
        }
    }
    for (std::vector<MatchedRun>& runs : content.runs) {
        for (MatchedRun& run : runs) {
            if (run.source != LiteralSource) run.source = renumbered[run.source];
        }
    }
}

// What the launcher will judge, judged first: a patch it would refuse is
// never published, its files go whole instead.
bool LauncherAccepts(const PatchContent& content, const BuildIndex& index) {
    try {
        const std::string text = FormatDeltaOperations(content.delta);
        CheckDeltaAgainstIndex(ParseDeltaOperations(text), index);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

PatchContent PlanPatch(const fs::path& build, const std::vector<ZipEntry>& entries,
                       const BuildIndex& index, const std::vector<IndexFile>& files,
                       const EarlierBuild& earlier, const fs::path& scratch) {
    PatchContent whole;
    whole.whole = files;
    if (files.empty() || HoldsDeltaFolder(index) || HoldsDeltaFolder(earlier.index)) return whole;

    std::vector<std::string> paths;
    for (const IndexFile& file : earlier.index.files) paths.push_back(file.path);
    const std::vector<ZipEntry> earlierEntries = ReadZipDirectory(earlier.archive);
    EarlierFiles sources(earlier.archive, earlierEntries, paths, scratch);
    const SourceBlockTable table = TableOf(earlier, sources);
    const auto source = [&sources](uint32_t n) -> ByteRangeSource& { return sources.At(n); };

    std::map<std::string, const ZipEntry*> byPath;
    for (const ZipEntry& entry : entries) {
        if (!entry.isFolder) byPath.emplace(IndexNameOf(entry), &entry);
    }
    PatchContent content;
    FileRange buildZip(build);
    for (const IndexFile& file : files) {
        const auto found = byPath.find(file.path);
        if (found == byPath.end()) {
            throw std::runtime_error("The build holds no entry \"" + file.path +
                                     "\" that its index lists");
        }
        const ZipEntry& entry = *found->second;
        if (file.size < table.BlockSize()) {
            content.whole.push_back(file);
            continue;
        }
        EntryStream in(buildZip, entry);
        std::vector<MatchedRun> runs = FindDeltaRuns(table, in, file.size, source);
        DeltaOutput output = DeltaOutputOf(runs, file.path, file.size, file.sha256);
        if (!DeltaIsSmaller(output)) {
            content.whole.push_back(file);
            continue;
        }
        const size_t number = content.delta.outputs.size();
        ZipRecord literal;
        uint64_t cost = 0;
        if (output.literalBytes > 0) {
            literal = LiteralRecord(buildZip, entry, runs, number);
            cost = literal.compressedSize + EntryOverhead(literal.name);
        }
        DeltaOperations alone;
        alone.outputs.push_back(output);
        cost += FormatDeltaOperations(alone).size();
        if (cost >= entry.compressedSize + EntryOverhead(file.path)) {
            content.whole.push_back(file);
            continue;
        }
        content.delta.outputs.push_back(std::move(output));
        content.runs.push_back(std::move(runs));
        content.literals.push_back(literal);
    }
    if (content.delta.outputs.empty()) return whole;
    KeepUsedSources(content, earlier.index);
    if (FormatDeltaOperations(content.delta).size() > DeltaOperationsLimit ||
        !LauncherAccepts(content, index)) {
        return whole;
    }
    return content;
}

#include "publish/build_index.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>

#include "publish/build_entries.h"
#include "publish/patch_content.h"
#include "publish/release_files.h"
#include "publish/release_folder.h"
#include "publish/report_json.h"
#include "format/zip_directory.h"

namespace fs = std::filesystem;

namespace {

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("Cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Sha256OfText(const std::string& text) {
    Sha256 digest;
    digest.Add(text.data(), text.size());
    return digest.FinishHex();
}

// The earlier builds a patch is made from: the live one first (after a
// rollback, that is where the players are), then the newest others.
std::vector<BuildFile> PatchSources(const fs::path& folder, const std::string& version,
                                    const std::string& liveBuild, int count) {
    std::vector<BuildFile> earlier;
    const std::set<std::string> leftovers = LeftoverBuilds(folder);
    for (const BuildFile& build : BuildsOf(GameKind(), folder)) {
        if (build.version != version && leftovers.count(build.name) == 0) earlier.push_back(build);
    }
    std::sort(earlier.begin(), earlier.end(), [&liveBuild](const BuildFile& a, const BuildFile& b) {
        if ((a.name == liveBuild) != (b.name == liveBuild)) return a.name == liveBuild;
        return CompareVersions(a.version, b.version) > 0;
    });
    earlier.resize(std::min(earlier.size(), static_cast<size_t>(std::max(count, 0))));
    return earlier;
}

// An earlier build's files: from its published index when there is one
// (read in a moment), else from its archive.
BuildIndex FilesOf(const fs::path& folder, const BuildFile& build) {
    const std::string indexSha256 = IndexOfBuild(folder, build.sha256);
    if (!indexSha256.empty()) {
        try {
            return ParseBuildIndex(ReadText(folder / "builds" / BuildIndexFileName(indexSha256)));
        } catch (const std::exception&) {
        }
    }
    return IndexOfArchive(build.file);
}

struct PlannedPatch {
    std::string from;
    std::vector<IndexFile> files;
    PatchContent content;
    uint64_t unpacked = 0;
    uint64_t bytes = 0;
    std::string skipped;  // why it is not made; empty: made
};

void ReportPatch(const PlannedPatch& patch, const std::string& sha256, Report::Section& section,
                 std::vector<std::string>& json) {
    if (!patch.skipped.empty()) {
        section.fields.push_back(
            {"patch from " + patch.from, "skipped: " + patch.skipped, "", Report::Field::TextOnly});
        json.push_back(
            JsonObject({{"from", JsonText(patch.from)}, {"skipped", JsonText(patch.skipped)}}));
        return;
    }
    // Block-level operations against the earlier build, or whole files.
    const std::string kind = patch.content.delta.outputs.empty() ? "files" : "delta";
    section.fields.push_back({"patch from " + patch.from,
                              kind + ", " + std::to_string(patch.files.size()) + " files, " +
                                  std::to_string(patch.unpacked) + " bytes unpacked, " +
                                  std::to_string(patch.bytes) + " bytes, " + sha256,
                              "", Report::Field::TextOnly});
    json.push_back(JsonObject({{"from", JsonText(patch.from)},
                               {"sha256", JsonText(sha256)},
                               {"kind", JsonText(kind)},
                               {"bytes", std::to_string(patch.bytes)},
                               {"files", std::to_string(patch.files.size())},
                               {"unpacked_bytes", std::to_string(patch.unpacked)}}));
}

}  // namespace

BuildIndex IndexOfArchive(const fs::path& archive) {
    return IndexOfArchive(archive, ReadZipDirectory(archive));
}

BuildIndex IndexOfArchive(const fs::path& archive, const std::vector<ZipEntry>& entries) {
    // The names and bytes of the one directory reader, which the archive's
    // check has matched with libarchive's listing.
    FileRange zip(archive);
    BuildIndex index;
    std::vector<std::string> folders;
    std::vector<char> buffer(1 << 20);
    for (const ZipEntry& entry : entries) {
        std::string name = IndexNameOf(entry);
        if (entry.isFolder) {
            while (!name.empty() && name.back() == '/') name.pop_back();
            folders.push_back(name);
            continue;
        }
        IndexFile file{name, 0, ""};
        Sha256 digest;
        EntryStream bytes(zip, entry);
        for (size_t got; (got = bytes.Read(buffer.data(), buffer.size())) > 0;) {
            digest.Add(buffer.data(), got);
            file.size += got;
        }
        file.sha256 = digest.FinishHex();
        index.files.push_back(std::move(file));
    }
    // Only folders that hold nothing need a line: the others come with their files.
    const IndexLookup lookup(index);
    for (const std::string& folder : folders) {
        if (lookup.folders.count(IndexPathKey(folder)) == 0) index.folders.push_back(folder);
    }
    try {
        BuildIndex judged = index;  // the build's own line is not known yet
        judged.buildSha256 = std::string(64, '0');
        judged.version = "0";
        ParseBuildIndex(FormatBuildIndex(judged));
    } catch (const std::exception&) {
        throw std::runtime_error(
            "The archive's paths cannot be listed in a build index the launcher accepts (two "
            "names that are one on Windows, or a name Windows would change)");
    }
    return index;
}

std::string PublishIndexAndPatches(const fs::path& folder, const std::string& version,
                                   const fs::path& archive, const std::string& liveBuild,
                                   const Options& options, Report::Section& section) {
    BuildIndex index;
    std::vector<ZipEntry> entries;
    try {
        entries = ReadZipDirectory(archive);
        index = IndexOfArchive(archive, entries);
    } catch (const std::exception& error) {
        // Launchers then install the full archive, as they would without an index.
        section.fields.push_back({"index", std::string("none: ") + error.what()});
        return "";
    }
    index.version = version;
    index.buildSha256 = Sha256OfFile(archive);
    const uint64_t archiveSize = fs::file_size(archive);
    // Where earlier files are unpacked while patches are planned: a dry run
    // writes nothing into the release folder.
    const fs::path scratch = options.dryRun ? fs::temp_directory_path() : folder / ".incoming";

    // Every patch sized before one is written: the size decides whether it
    // is worth making, and the disk must hold them all.
    std::vector<PlannedPatch> plans;
    uint64_t needed = 0;
    for (const BuildFile& build : PatchSources(folder, version, liveBuild, options.patchCount)) {
        PlannedPatch plan{build.version, {}, {}, 0, 0, ""};
        try {
            const EarlierBuild earlier{build.file, FilesOf(folder, build)};
            plan.files = ChangedFiles(earlier.index, index);
            plan.content = PlanPatch(archive, entries, index, plan.files, earlier, scratch);
        } catch (const std::exception& error) {
            plan.skipped = error.what();
            plans.push_back(plan);
            continue;
        }
        for (const IndexFile& file : plan.files) plan.unpacked += file.size;
        plan.bytes = WritePatch(archive, entries, plan.content, nullptr);
        if (plan.bytes * 100 > archiveSize * static_cast<uint64_t>(options.patchLimit)) {
            plan.skipped = "it would be " + std::to_string(plan.bytes) + " bytes, over " +
                           std::to_string(options.patchLimit) + " % of the full archive's " +
                           std::to_string(archiveSize);
        } else {
            needed += plan.bytes;
        }
        plans.push_back(plan);
    }
    if (!options.dryRun) RequireFreeSpace(folder, needed);

    std::vector<std::string> json;
    for (const PlannedPatch& plan : plans) {
        std::string sha256;
        if (plan.skipped.empty() && options.dryRun) {
            // The bytes the run would write, digested and never stored.
            Sha256 digest;
            WritePatch(archive, entries, plan.content,
                       [&digest](const char* data, size_t size) { digest.Add(data, size); });
            sha256 = digest.FinishHex();
        } else if (plan.skipped.empty()) {
            // Written once, into the private folder, then renamed into place.
            IncomingFile patch(folder, [&](const BytesOut& out) {
                WritePatch(archive, entries, plan.content, out);
            });
            sha256 = patch.sha256();
            const fs::path target = folder / "builds" / PatchFileName(sha256);
            if (!fs::exists(target) || Sha256OfFile(target) != sha256) patch.MoveTo(target);
        }
        if (!sha256.empty()) {
            index.patches.push_back({sha256, plan.from, !plan.content.delta.outputs.empty()});
        }
        ReportPatch(plan, sha256, section, json);
    }
    section.fields.push_back({"patches", "", JsonArray(json), Report::Field::JsonOnly});

    const std::string text = FormatBuildIndex(index);
    const std::string sha256 = Sha256OfText(text);
    const fs::path file = folder / "builds" / BuildIndexFileName(sha256);
    section.fields.push_back({"index", file.string()});
    section.Number("index bytes", text.size());
    if (!options.dryRun) {
        IncomingFile written(folder, text);
        written.MoveTo(file);
    }
    return sha256;
}

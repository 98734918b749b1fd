#include "publish/build_index.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>

#include "publish/patches.h"
#include "publish/release_folder.h"

namespace fs = std::filesystem;

namespace {

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("Cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Sha256OfText(const std::string& text) {
    Sha256Digest digest;
    digest.Add(text.data(), text.size());
    return digest.Hex();
}

// The index files in "builds/" that can be read, by file.
std::vector<std::pair<fs::path, BuildIndex>> IndexesIn(const fs::path& folder) {
    std::vector<std::pair<fs::path, BuildIndex>> indexes;
    std::error_code error;
    for (fs::directory_iterator entry(folder / "builds", error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path().extension() != ".index" || !entry->is_regular_file()) continue;
        try {
            indexes.emplace_back(entry->path(), ParseBuildIndex(ReadText(entry->path())));
        } catch (const std::exception&) {
        }
    }
    return indexes;
}

// Removes the file when it goes out of scope.
struct TemporaryFile {
    fs::path path;
    ~TemporaryFile() {
        std::error_code ignored;
        fs::remove(path, ignored);
    }
};

}  // namespace

BuildIndex IndexOfArchive(const fs::path& archive) {
    std::unique_ptr<struct archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                         &archive_read_free);
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), archive.c_str(), 1 << 16) != ARCHIVE_OK) {
        throw std::runtime_error("The archive cannot be read as a zip file");
    }
    BuildIndex index;
    std::vector<std::string> folders;
    std::vector<char> buffer(1 << 20);
    struct archive_entry* entry = nullptr;
    int status;
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK ||
           status == ARCHIVE_WARN) {
        const char* raw = archive_entry_pathname(entry);
        std::string name = raw == nullptr ? "" : raw;
        if (archive_entry_filetype(entry) == AE_IFDIR) {
            while (!name.empty() && name.back() == '/') name.pop_back();
            folders.push_back(name);
            continue;
        }
        IndexFile file{name, 0, ""};
        Sha256Digest digest;
        for (;;) {
            const la_ssize_t got = archive_read_data(reader.get(), buffer.data(), buffer.size());
            if (got < 0) throw std::runtime_error("The archive is damaged at \"" + name + "\"");
            if (got == 0) break;
            digest.Add(buffer.data(), static_cast<size_t>(got));
            file.size += static_cast<uint64_t>(got);
        }
        file.sha256 = digest.Hex();
        index.files.push_back(std::move(file));
    }
    if (status != ARCHIVE_EOF) throw std::runtime_error("The archive is damaged");
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
                                   const fs::path& archive, int patchCount, const Options& options,
                                   Report::Section& section) {
    BuildIndex index;
    try {
        index = IndexOfArchive(archive);
    } catch (const std::exception& error) {
        // Launchers then install the full archive, as they would without an index.
        section.fields.push_back({"index", std::string("none: ") + error.what()});
        return "";
    }
    index.version = version;
    index.buildSha256 = Sha256OfFile(archive);

    std::vector<BuildFile> earlier;
    for (const BuildFile& build : BuildsOf(GameKind(), folder)) {
        if (build.version != version) earlier.push_back(build);
    }
    std::sort(earlier.begin(), earlier.end(), [](const BuildFile& a, const BuildFile& b) {
        return CompareVersions(a.version, b.version) > 0;
    });
    earlier.resize(std::min(earlier.size(), static_cast<size_t>(std::max(patchCount, 0))));
    for (const BuildFile& build : earlier) {
        BuildIndex from;
        try {
            from = IndexOfArchive(build.file);
        } catch (const std::exception& error) {
            section.fields.push_back(
                {"patch from " + build.version, std::string("none: ") + error.what()});
            continue;
        }
        const std::vector<IndexFile> changed = ChangedFiles(from, index);
        uint64_t bytes = 0;
        for (const IndexFile& file : changed) bytes += file.size;
        std::string sha256 = "(dry run)";
        if (!options.dryRun) {
            fs::create_directories(folder / ".incoming");
            TemporaryFile written{folder / ".incoming" /
                                  ("patch-" + std::to_string(::getpid()) + ".zip")};
            WritePatch(archive, changed, written.path);
            IncomingFile patch(folder, written.path);
            sha256 = patch.sha256();
            const fs::path target = folder / "builds" / PatchFileName(sha256);
            if (!fs::exists(target) || Sha256OfFile(target) != sha256) patch.MoveTo(target);
            index.patches.push_back({sha256, build.version});
        }
        section.fields.push_back({"patch from " + build.version,
                                  std::to_string(changed.size()) + " files, " +
                                      std::to_string(bytes) + " bytes unpacked, " + sha256});
    }

    const std::string text = FormatBuildIndex(index);
    const std::string sha256 = Sha256OfText(text);
    section.fields.push_back({"index", (folder / "builds" / BuildIndexFileName(sha256)).string()});
    if (!options.dryRun) {
        IncomingFile file(folder, text);
        file.MoveTo(folder / "builds" / BuildIndexFileName(sha256));
    }
    return sha256;
}

void ReportIndexAndPatches(const fs::path& folder, const std::string& indexSha256,
                           Report::Section& section, bool& ok) {
    const fs::path file = folder / "builds" / BuildIndexFileName(indexSha256);
    if (!fs::is_regular_file(file) || Sha256OfFile(file) != indexSha256) {
        section.fields.push_back({"index", "missing or does not match its digest"});
        ok = false;
        return;
    }
    BuildIndex index;
    try {
        index = ParseBuildIndex(ReadText(file));
    } catch (const std::exception&) {
        section.fields.push_back({"index", "unreadable"});
        ok = false;
        return;
    }
    section.fields.push_back({"index", std::to_string(index.files.size()) + " files, ok"});
    for (const IndexPatch& patch : index.patches) {
        const fs::path patchFile = folder / "builds" / PatchFileName(patch.sha256);
        std::string state = "missing";
        if (fs::is_regular_file(patchFile)) {
            state = Sha256OfFile(patchFile) == patch.sha256
                        ? std::to_string(fs::file_size(patchFile)) + " bytes, ok"
                        : "does not match its digest";
        }
        section.fields.push_back({"patch from " + patch.fromVersion, state});
        ok = ok && state.find(", ok") != std::string::npos;
    }
}

void PruneIndexesAndPatches(const fs::path& folder, const Options& options,
                            Report::Section& section) {
    std::set<std::string> kept;
    std::vector<std::pair<fs::path, BuildIndex>> gone;
    for (auto& [file, index] : IndexesIn(folder)) {
        const bool buildThere = fs::exists(
            folder / "builds" / BuildFileName(GameKind(), index.version, index.buildSha256));
        if (buildThere) {
            for (const IndexPatch& patch : index.patches) kept.insert(patch.sha256);
        } else {
            gone.emplace_back(file, std::move(index));
        }
    }
    for (const auto& [file, index] : gone) {
        section.fields.push_back({"removed", file.filename().string()});
        if (!options.dryRun) fs::remove(file);
        for (const IndexPatch& patch : index.patches) {
            if (kept.count(patch.sha256) != 0) continue;
            section.fields.push_back({"removed", PatchFileName(patch.sha256)});
            if (!options.dryRun) fs::remove(folder / "builds" / PatchFileName(patch.sha256));
        }
    }
}

std::string IndexOfBuild(const fs::path& folder, const std::string& buildSha256) {
    for (const auto& [file, index] : IndexesIn(folder)) {
        if (index.buildSha256 == buildSha256) return file.stem().string();
    }
    return "";
}

#include "store/stored_copies.h"

#include <windows.h>

#include <optional>

#include "base/folder_walk.h"
#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/parallel_work.h"
#include "base/text.h"
#include "service/digest.h"
#include "store/version_name.h"

namespace fs = std::filesystem;

namespace {

constexpr char CopyFailure[] = "Could not copy a stored file";

// Copies `from` to `to`, hashing the bytes on their way; the copy's digest.
// Empty when the source cannot be opened or read (a running game or a
// scanner may hold it): to the caller as good as a file whose digest differs.
std::optional<std::string> CopyHashing(const fs::path& from, const fs::path& to) {
    const KernelHandle in = OpenLongPathFile(from, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                             FILE_FLAG_SEQUENTIAL_SCAN);
    if (!in) return std::nullopt;
    const KernelHandle out = OpenLongPathFile(to, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (!out) throw LauncherError(CopyFailure);
    Sha256 hash(CopyFailure);
    const CopyOutcome outcome = CopyOpenFile(
        in.get(), out.get(), [&](const char* bytes, size_t count) { hash.Add(bytes, count); });
    if (outcome == CopyOutcome::DestinationFailed) throw LauncherError(CopyFailure);
    if (outcome == CopyOutcome::SourceFailed) return std::nullopt;
    return hash.FinishHex();
}

}  // namespace

// The folder names of the stored builds other than `target`.
std::vector<std::wstring> StoredBuildNames(const fs::path& root, const fs::path& target) {
    std::vector<std::wstring> names;
    const fs::path versions = root / L"versions";
    for (const FolderEntry& entry : ListFolderAt(versions).value_or(std::vector<FolderEntry>())) {
        if (entry.IsFolder() && !entry.IsLink() && versions / entry.name != target) {
            names.push_back(entry.name);
        }
    }
    return names;
}

// The stored builds to copy from: `first` (the patch's source, or else the
// recorded build), then every other.
std::vector<fs::path> StoredBuilds(const fs::path& root, const std::string& first,
                                   const std::vector<std::wstring>& names) {
    std::vector<fs::path> builds;
    const fs::path versions = root / L"versions";
    try {
        builds.push_back(versions / SafeVersionName(first));
    } catch (const std::exception&) {
    }
    for (const std::wstring& name : names) {
        if (builds.empty() || versions / name != builds.front()) builds.push_back(versions / name);
    }
    return builds;
}

// Copies each file that a stored build holds under its path with its digest,
// hashing the bytes on their way: copied, never moved or linked, so every
// stored build stays as it is, and a stored file changed since its install
// fails its digest and is not taken. Which files were copied.
std::vector<bool> CopyStoredFiles(const std::vector<IndexFile>& files,
                                  const std::vector<fs::path>& stored, const fs::path& unpacked) {
    std::vector<char> copied(files.size(), 0);  // each slot written by one thread only
    RunOnTwoThreads(files.size(), [&](size_t i) {
        const fs::path relative = Utf8ToUtf16(files[i].path);
        const fs::path destination = unpacked / relative;
        for (const fs::path& build : stored) {
            const fs::path source = build / relative;
            const std::optional<PathFacts> facts = ReadPathFacts(source);
            if (!facts || !facts->IsRegularFile() || facts->size != files[i].size) continue;
            if (CopyHashing(source, destination) == files[i].sha256) {
                copied[i] = 1;
                break;
            }
        }
        if (!copied[i] && !RemoveFileAt(destination)) throw LauncherError(CopyFailure);
    });
    return std::vector<bool>(copied.begin(), copied.end());
}

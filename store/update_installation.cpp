#include "store/update_installation.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>
#include <string_view>

#include "base/folder_walk.h"
#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "store/archive.h"
#include "store/disk_space.h"
#include "store/partial_download.h"
#include "store/patch_installation.h"
#include "store/retrying_move.h"
#include "store/tree_removal.h"
#include "store/version_name.h"
#include "format/windows_names.h"

namespace fs = std::filesystem;

std::wstring StagingFolderName(std::uint32_t processId, std::uint64_t ticks) {
    return L"update-" + std::to_wstring(processId) + L"-" + std::to_wstring(ticks);
}

std::optional<std::uint32_t> StagingFolderProcessId(const std::wstring& name) {
    constexpr std::wstring_view prefix = L"update-";
    if (name.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    const size_t dash = name.find(L'-', prefix.size());
    const auto allDigits = [&](size_t from, size_t to) {
        return to > from && to - from <= 20 &&
               std::all_of(name.begin() + from, name.begin() + to,
                           [](wchar_t c) { return c >= L'0' && c <= L'9'; });
    };
    if (dash == std::wstring::npos || !allDigits(prefix.size(), dash) ||
        !allDigits(dash + 1, name.size()) || dash - prefix.size() > 10) {
        return std::nullopt;
    }
    const unsigned long long id = std::stoull(name.substr(prefix.size(), dash - prefix.size()));
    if (id > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(id);
}

namespace {

// Whether "versions" holds the build under exactly this name, and failing that
// whether it holds one whose name differs only in letter case: NTFS would open
// that other version's folder for this one.
void RefuseOtherCaseBuild(const fs::path& versions, const std::wstring& version) {
    bool exact = false;
    bool otherCase = false;
    const std::string folded = FoldCaseAsNtfs(Utf16ToUtf8(version));
    const std::optional<std::vector<FolderEntry>> entries = ListFolderAt(versions);
    if (!entries) {
        throw LauncherError("Could not read the stored builds");
    }
    for (const FolderEntry& entry : *entries) {
        exact = exact || entry.name == version;
        // Folded as the release tool folds it, so both refuse the same versions.
        otherCase = otherCase || FoldCaseAsNtfs(Utf16ToUtf8(entry.name)) == folded;
    }
    if (otherCase && !exact) {
        throw LauncherError("The update's version differs from a stored build only in letter case");
    }
}

// A broken build that cannot be removed (a file held open, a link the system
// cannot delete) is moved out of the way under a staging folder's name, which
// a later installation's sweep removes. Fails only when it can be neither
// removed nor moved.
void ClearBuildFolder(const fs::path& build, const fs::path& root) {
    if (TryRemoveTree(build)) {
        return;
    }
    const fs::path aside = root / StagingFolderName(GetCurrentProcessId(), GetTickCount64());
    if (!MoveFileRetrying(build, aside, 0)) {
        throw LauncherError("Could not remove a folder in TESSIK storage");
    }
}

// A staging folder of this launcher that no earlier step has used.
fs::path CreateStagingFolder(const fs::path& root) {
    for (std::uint64_t ticks = GetTickCount64();; ++ticks) {
        const fs::path staging = root / StagingFolderName(GetCurrentProcessId(), ticks);
        if (CreateFolder(staging)) {
            return staging;
        }
    }
}

}  // namespace

void RemoveStaleStagingFolders(const fs::path& root) {
    for (const FolderEntry& entry : ListFolderAt(root).value_or(std::vector<FolderEntry>())) {
        const std::optional<std::uint32_t> owner = StagingFolderProcessId(entry.name);
        if (!owner || *owner == GetCurrentProcessId()) {
            continue;
        }
        KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, *owner));
        if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            continue;  // another launcher is installing right now
        }
        TryRemoveTree(root / entry.name);
    }
}

fs::path InstallUpdate(const UpdateManifest& manifest, const fs::path& root) {
    const fs::path versions = root / L"versions";
    // Refused before any path is formed: the version must name one build folder.
    const std::wstring version = SafeVersionName(manifest.version);
    const fs::path build = versions / version;
    CreateFolders(versions);
    RefuseOtherCaseBuild(versions, version);
    if (IsRegularFileAt(build / L"tessik.exe")) {
        // Installed meanwhile, by another launcher: no download of it is needed.
        SweepGamePartials(root, manifest.sha256, "");
        return build;
    }
    // A build that lost its executable is replaced whole. A link there, or
    // inside it, is removed as a link; what it points at is left alone.
    ClearBuildFolder(build, root);

    PostStatus(L"Downloading into TESSIK storage...");
    // Left by a launcher that was killed mid-installation; nothing else removes them.
    RemoveStaleStagingFolders(root);
    const fs::path staging = CreateStagingFolder(root);
    try {
        // Only what changed is downloaded when stored builds and a patch can
        // make the build; otherwise the full archive, checked the same way.
        PatchInstallation patch(manifest, root, staging);
        SweepGamePartials(root, manifest.sha256, patch.RecordedPatchSha256());
        // The whole build, copies from stored builds included, before any of it.
        if (const auto size = patch.IndexedSize()) RequireFreeSpace(root, *size);
        fs::path unpacked = staging / L"assembled";
        const fs::path archive = staging / L"runtime.zip";
        if (!patch.TryAssemble(unpacked)) {
            // Never into what a failed assembly left: a file a scanner still
            // holds keeps its name there, and Windows creates nothing over it.
            unpacked = staging / L"runtime";
            // Held, sharing reading only, until tar.exe has read it.
            const KernelHandle held = DownloadVerifiedFile(
                manifest, root, L"update", archive, "Downloaded update failed its SHA-256 check",
                DownloadOptions{.keepValidator = true,
                                .progress = PostProgress,
                                .replyLength = BuildDownloadFits(root, patch.IndexedSize())});
            PostStatus(L"Installing verified update...");
            PostProgress(0, 0);  // unpacking: no share to show
            UnpackUpdateArchive(archive, unpacked);
            // A link in a build could later lead a removal, or the game, outside it.
            if (TreeHoldsLink(unpacked)) {
                throw LauncherError("The update archive contains a link");
            }
            patch.CheckUnpacked(unpacked);
        }
        // A scanner may hold the fresh files, and one that scans a large build
        // file by file holds it for minutes.
        if (!MoveFileRetrying(unpacked, build, 0, FreshBuildHold,
                              [] { PostStatus(L"Windows security is checking the update..."); })) {
            // The checked archive waits for the next run, which then
            // downloads nothing.
            if (IsRegularFileAt(archive)) {
                ReturnVerifiedDownload(manifest, root, L"update", archive);
            }
            throw LauncherError("Could not move the verified update into place");
        }
    } catch (...) {
        TryRemoveTree(staging);
        throw;
    }
    RemoveKeptValidator(root, L"update", manifest.sha256);
    // The build stands in place: a staging folder that cannot be removed now
    // (a scanner still holds the archive) is swept by a later installation.
    TryRemoveTree(staging);
    // Swept again: the tar.exe of a launcher killed in mid-extraction runs on
    // in its staging folder, which cannot be removed until it has ended.
    RemoveStaleStagingFolders(root);
    return build;
}

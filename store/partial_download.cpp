#include "store/partial_download.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/folder_walk.h"
#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/text.h"
#include "base/scoped_handle.h"
#include "service/digest.h"
#include "store/retrying_move.h"

namespace fs = std::filesystem;

namespace {

std::wstring PartialPrefix(const std::wstring& kind) { return L"partial-" + kind + L"-"; }

void RemoveWithValidator(const fs::path& file) {
    RemoveFileAt(file);
    RemoveFileAt(DownloadValidatorPath(file));
}

// Retried while a scanner holds the file for a moment, as a move is.
template <typename Step>
bool RetryingPassingFailures(const Step& step) {
    if (step()) return true;
    for (const std::chrono::milliseconds pause : MoveRetryPauses()) {
        if (!IsPassingMoveFailure(GetLastError())) return false;
        Sleep(static_cast<DWORD>(pause.count()));
        if (step()) return true;
    }
    return false;
}

constexpr std::wstring_view DownloadSuffix = L".download";
constexpr std::wstring_view ValidatorSuffix = L".download.validator";

bool EndsWith(const std::wstring& text, std::wstring_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The plain files directly in the root whose names begin with "partial-".
std::vector<std::wstring> PartialNames(const fs::path& root) {
    std::vector<std::wstring> names;
    for (const FolderEntry& entry : ListFolderAt(root).value_or(std::vector<FolderEntry>{})) {
        if (!entry.IsFolder() && entry.name.rfind(L"partial-", 0) == 0) {
            names.push_back(entry.name);
        }
    }
    return names;
}

void RemoveFromRoot(const fs::path& root, const std::wstring& name) { RemoveFileAt(root / name); }

}  // namespace

void SweepPartialDownloads(const fs::path& root, const std::vector<std::wstring>& kinds,
                           const std::vector<std::string>& kept) {
    const std::vector<std::wstring> names = PartialNames(root);
    for (const std::wstring& name : names) {
        if (EndsWith(name, ValidatorSuffix)) {
            const std::wstring partial = name.substr(0, name.size() - 10);  // less ".validator"
            if (std::find(names.begin(), names.end(), partial) == names.end()) {
                RemoveFromRoot(root, name);
            }
            continue;
        }
        if (!EndsWith(name, DownloadSuffix)) {
            continue;
        }
        for (const std::wstring& kind : kinds) {
            const std::wstring prefix = PartialPrefix(kind);
            if (name.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            const bool keep = std::any_of(kept.begin(), kept.end(), [&](const std::string& sha) {
                return !sha.empty() && name == PartialDownloadPath(root, kind, sha).filename();
            });
            if (!keep) {
                RemoveFromRoot(root, name);
                RemoveFromRoot(root, name + L".validator");
            }
        }
    }
}

void SweepLauncherPartials(const fs::path& root, const std::string& sha256) {
    SweepPartialDownloads(root, {L"launcher"}, {sha256});
}

void SweepGamePartials(const fs::path& root, const std::string& archiveSha256,
                       const std::string& patchSha256) {
    // Each kind keeps only its own file; a patch's digest never names an archive.
    SweepPartialDownloads(root, {L"update"}, {archiveSha256});
    SweepPartialDownloads(root, {L"patch"}, {patchSha256});
}

fs::path PartialDownloadPath(const fs::path& root, const std::wstring& kind,
                             const std::string& sha256) {
    // The digest has been checked to be 64 hex digits: a plain file name.
    return root / (PartialPrefix(kind) + Utf8ToUtf16(sha256) + L".download");
}

void RemovePartialDownloads(const fs::path& root, const std::wstring& kind, const fs::path& keep) {
    const std::wstring prefix = PartialPrefix(kind);
    constexpr uint64_t WeekInFileTime = 7ull * 24 * 3600 * 10'000'000;
    const uint64_t weekAgo = FileTimeNow() - WeekInFileTime;
    for (const FolderEntry& entry : ListFolderAt(root).value_or(std::vector<FolderEntry>())) {
        const fs::path file = root / entry.name;
        const std::wstring& name = entry.name;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() < 9 ||
            name.compare(name.size() - 9, 9, L".download") != 0) {
            continue;
        }
        if (file != keep || FileTimeValue(entry.written) < weekAgo) {
            RemoveWithValidator(file);
        }
    }
}

void ReturnVerifiedDownload(const UpdateManifest& manifest, const fs::path& root,
                            const std::wstring& kind, const fs::path& file) {
    const fs::path partial = PartialDownloadPath(root, kind, manifest.sha256);
    if (!manifest.byteRanges || !PathExists(DownloadValidatorPath(partial)) ||
        !MoveLongPath(file, partial, 0)) {
        RemoveWithValidator(partial);
        RemoveFileAt(file);
    }
}

void RemoveKeptValidator(const fs::path& root, const std::wstring& kind,
                         const std::string& sha256) {
    RemoveFileAt(DownloadValidatorPath(PartialDownloadPath(root, kind, sha256)));
}

KernelHandle DownloadVerifiedFile(const UpdateManifest& manifest, const fs::path& root,
                                  const std::wstring& kind, const fs::path& destination,
                                  const char* mismatch, DownloadOptions options) {
    const fs::path partial = PartialDownloadPath(root, kind, manifest.sha256);
    // A host without ranges leaves nothing to resume: none is kept for it.
    RemovePartialDownloads(root, kind, manifest.byteRanges ? partial : fs::path());
    const fs::path& download = manifest.byteRanges ? partial : destination;
    options.byteRanges = manifest.byteRanges;
    try {
        HttpsDownload(manifest.url, download, options);
    } catch (const DiskSpaceError&) {
        // Kept for a resume, it would keep a full disk full.
        RemoveWithValidator(download);
        throw;
    }
    // One handle from the digest to the move, denying writing and deletion to
    // others: the bytes that reach staging are the bytes that were checked,
    // whatever another program does to the name meanwhile.
    KernelHandle held;
    if (!RetryingPassingFailures([&] {
            held = OpenLongPathFile(download, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN);
            return static_cast<bool>(held);
        })) {
        throw LauncherError("Could not reopen the update archive");
    }
    if (Sha256OpenFileHex(held.get()) != manifest.sha256) {
        held.reset();
        RemoveWithValidator(download);
        throw LauncherError(mismatch);
    }
    if (download != destination &&
        !RetryingPassingFailures([&] { return RenameOpenFile(held.get(), destination, true); })) {
        throw LauncherError("Could not save the update archive");
    }
    // tar.exe opens the file for reading and shares only reading: the handle
    // it is given to hold holds nothing more. Opened while the checking handle
    // still denies writing, so no writer gets in between.
    KernelHandle reading = OpenLongPathFile(destination, GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (!reading) {
        throw LauncherError("Could not reopen the update archive");
    }
    return reading;
}

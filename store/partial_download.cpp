#include "store/partial_download.h"

#include <chrono>

#include "base/launcher_error.h"
#include "base/text.h"
#include "service/digest.h"
#include "store/retrying_move.h"

namespace fs = std::filesystem;

namespace {

std::wstring PartialPrefix(const std::wstring& kind) { return L"partial-" + kind + L"-"; }

void RemoveWithValidator(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
    fs::remove(DownloadValidatorPath(file), ignored);
}

}  // namespace

fs::path PartialDownloadPath(const fs::path& root, const std::wstring& kind,
                             const std::string& sha256) {
    // The digest has been checked to be 64 hex digits: a plain file name.
    return root / (PartialPrefix(kind) + Utf8ToUtf16(sha256) + L".download");
}

void RemovePartialDownloads(const fs::path& root, const std::wstring& kind, const fs::path& keep) {
    const std::wstring prefix = PartialPrefix(kind);
    const auto weekAgo = fs::file_time_type::clock::now() - std::chrono::hours(24 * 7);
    std::error_code error;
    for (fs::directory_iterator entry(root, error), end; !error && entry != end;
         entry.increment(error)) {
        const fs::path file = entry->path();
        const std::wstring name = file.filename().wstring();
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() < 9 ||
            name.compare(name.size() - 9, 9, L".download") != 0) {
            continue;
        }
        std::error_code unreadable;
        const auto written = fs::last_write_time(file, unreadable);
        if (file != keep || unreadable || written < weekAgo) {
            RemoveWithValidator(file);
        }
    }
}

void DownloadVerifiedFile(const UpdateManifest& manifest, const fs::path& root,
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
    if (Sha256FileHex(download) != manifest.sha256) {
        RemoveWithValidator(download);
        throw LauncherError(mismatch);
    }
    if (download != destination &&
        !MoveFileRetrying(download, destination, MOVEFILE_REPLACE_EXISTING)) {
        throw LauncherError("Could not save the update archive");
    }
}

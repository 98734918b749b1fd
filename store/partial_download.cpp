#include "store/partial_download.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string_view>

#include "base/launcher_error.h"
#include "base/text.h"
#include "base/scoped_handle.h"
#include "service/digest.h"
#include "store/retrying_move.h"
#include "store/tree_removal.h"

namespace fs = std::filesystem;

namespace {

std::wstring PartialPrefix(const std::wstring& kind) { return L"partial-" + kind + L"-"; }

void RemoveWithValidator(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
    fs::remove(DownloadValidatorPath(file), ignored);
}

constexpr std::wstring_view DownloadSuffix = L".download";
constexpr std::wstring_view ValidatorSuffix = L".download.validator";

bool EndsWith(const std::wstring& text, std::wstring_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The extended form takes only a full path with backslashes.
std::wstring RootEntry(const fs::path& root, const std::wstring& name) {
    return ExtendedLengthPath(
        fs::absolute(root / name).lexically_normal().make_preferred().wstring());
}

// The plain files directly in the root whose names begin with "partial-".
std::vector<std::wstring> PartialNames(const fs::path& root) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(RootEntry(root, L"partial-*").c_str(), FindExInfoBasic,
                                           &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    FindHandle owner(search);
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.emplace_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    return names;
}

void RemoveFromRoot(const fs::path& root, const std::wstring& name) {
    DeleteFileW(RootEntry(root, name).c_str());
}

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
    HttpsDownload(manifest.url, download, options);
    if (Sha256FileHex(download) != manifest.sha256) {
        RemoveWithValidator(download);
        throw LauncherError(mismatch);
    }
    if (download != destination &&
        !MoveFileRetrying(download, destination, MOVEFILE_REPLACE_EXISTING)) {
        throw LauncherError("Could not save the update archive");
    }
}

#include "store/update_installation.h"

#include <windows.h>

#include <algorithm>
#include <string_view>

#include "base/launcher_error.h"
#include "base/scoped_handle.h"
#include "base/worker_messages.h"
#include "service/digest.h"
#include "service/https_transfer.h"
#include "store/archive.h"
#include "store/version_name.h"

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

void RemoveStaleStagingFolders(const fs::path& root) {
    std::error_code error;
    for (fs::directory_iterator entry(root, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::optional<std::uint32_t> owner =
            StagingFolderProcessId(entry->path().filename().wstring());
        if (!owner || *owner == GetCurrentProcessId()) {
            continue;
        }
        KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, *owner));
        if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            continue;  // another launcher is installing right now
        }
        std::error_code ignored;
        fs::remove_all(entry->path(), ignored);
    }
}

fs::path InstallUpdate(const UpdateManifest& manifest, const fs::path& root) {
    const fs::path versions = root / L"versions";
    // Refused before any path is formed: the version must name one build folder.
    const fs::path build = versions / SafeVersionName(manifest.version);
    fs::create_directories(versions);
    if (fs::is_regular_file(build / L"tessik.exe")) {
        return build;
    }
    // A build that lost its executable is replaced whole. A link there is
    // removed as a link; what it points at is left alone.
    if (fs::exists(fs::symlink_status(build))) {
        fs::remove_all(build);
    }

    PostStatus(L"Downloading into TESSIK storage...");
    // Left by a launcher that was killed mid-installation; nothing else removes them.
    RemoveStaleStagingFolders(root);
    const fs::path staging = root / StagingFolderName(GetCurrentProcessId(), GetTickCount64());
    fs::create_directories(staging);
    try {
        const fs::path archive = staging / L"runtime.zip";
        HttpsGet(manifest.url, nullptr, &archive);
        if (Sha256FileHex(archive) != manifest.sha256) {
            throw LauncherError("Downloaded update failed its SHA-256 check");
        }
        PostStatus(L"Installing verified update...");
        const fs::path unpacked = staging / L"runtime";
        UnpackUpdateArchive(archive, unpacked);
        fs::rename(unpacked, build);
        fs::remove_all(staging);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
    return build;
}

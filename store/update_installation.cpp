#include "store/update_installation.h"

#include <windows.h>

#include "app/launcher_error.h"
#include "app/worker_messages.h"
#include "service/digest.h"
#include "service/https_transfer.h"
#include "store/archive.h"
#include "store/version_name.h"

namespace fs = std::filesystem;

std::wstring StagingFolderName(std::uint32_t processId, std::uint64_t ticks) {
    return L"update-" + std::to_wstring(processId) + L"-" + std::to_wstring(ticks);
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

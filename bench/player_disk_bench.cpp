// The rows about the player's disk (see launcher_bench.cpp for the others):
//   storage URL SHA256 ROOT UPDATES KEEP|all  the build installed under UPDATES+1
//                                 successive versions, each install followed by
//                                 the removal of builds beyond KEEP, as the
//                                 worker does; prints the builds and bytes left
//   keep MANIFEST ROOT MIB FILES on|off  one update by patch (ROOT set up by
//                                 `patch ... setup`) with an older build of MIB
//                                 MiB in FILES files beside it; on: two builds
//                                 kept, so that older one is removed
//   refuse URL SHA256 ROOT        a build larger than ROOT's disk from a host that
//                                 serves ranges: the disk's free bytes lost and the
//                                 partial files left after the refusal
#include "bench/player_disk_bench.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "base/scoped_handle.h"
#include "base/text.h"
#include "service/https_transfer.h"
#include "store/disk_space.h"
#include "store/surplus_builds.h"
#include "store/tree_removal.h"
#include "store/update_installation.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

UpdateManifest BuildAt(const wchar_t* url, const wchar_t* sha256, const std::string& version) {
    UpdateManifest manifest;
    manifest.version = version;
    manifest.url = url;
    manifest.sha256 = Utf16ToUtf8(sha256);
    manifest.executable = "tessik.exe";
    return manifest;
}

// An older build: the game's executable and `files` files of `mib` MiB in all,
// a hundred to a folder.
void MakeOldBuild(const fs::path& build, const fs::path& executable, int mib, int files) {
    fs::create_directories(build);
    fs::copy_file(executable, build / L"tessik.exe", fs::copy_options::overwrite_existing);
    const std::vector<char> bytes((static_cast<size_t>(mib) << 20) / files, 'x');
    for (int i = 0; i < files; ++i) {
        const fs::path folder = build / L"assets" / std::to_wstring(i / 100);
        if (i % 100 == 0) fs::create_directories(folder);
        KernelHandle file(CreateFileW((folder / (L"f" + std::to_wstring(i) + L".pak")).c_str(),
                                      GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        // On the disk, as a player's older build has long been: removing files
        // written a moment ago waits for their pages still being written out.
        FlushFileBuffers(file.get());
    }
}

std::uint64_t BytesBelow(const fs::path& folder, int* builds) {
    std::uint64_t bytes = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) bytes += entry.file_size();
        if (entry.is_directory() && entry.path().parent_path() == folder) ++*builds;
    }
    return bytes;
}

int Storage(wchar_t** argv) {
    const fs::path root = argv[4];
    const int updates = _wtoi(argv[5]);
    const std::wstring keepText = argv[6];
    const std::optional<unsigned> keep =
        keepText == L"all" ? std::nullopt : std::optional<unsigned>(_wtoi(argv[6]));
    fs::remove_all(root);
    fs::create_directories(root);
    for (int i = 0; i <= updates; ++i) {
        const UpdateManifest manifest = BuildAt(argv[2], argv[3], "1." + std::to_string(i));
        const fs::path build = InstallUpdate(manifest, root);
        RemoveMovedBuilds(MoveSurplusBuildsAside(root, keep, {build}));
    }
    int builds = 0;
    const std::uint64_t bytes = BytesBelow(root / L"versions", &builds);
    std::printf("storage,keep-%ls,0,%llu,%d,%d\n", keepText.c_str(),
                static_cast<unsigned long long>(bytes), builds, updates);
    fs::remove_all(root);
    return 0;
}

int Keep(wchar_t** argv) {
    std::string text;
    HttpsGet(argv[2], &text, nullptr);
    const UpdateManifest manifest = ParseUpdateManifest(text, "tessik.exe");
    const fs::path root = argv[3];
    const bool on = std::wstring(argv[6]) == L"on";
    const fs::path old = root / L"versions" / L"0.9";
    const fs::path recorded = root / L"versions" / L"1.1";
    MakeOldBuild(old, recorded / L"tessik.exe", _wtoi(argv[4]), _wtoi(argv[5]));
    RemoveTree(root / L"versions" / Utf8ToUtf16(manifest.version));
    const auto start = Clock::now();
    const fs::path build = InstallUpdate(manifest, root);
    // The game would start here; only then is the older build moved aside
    // and its bytes freed.
    const double seconds = Since(start);
    const std::vector<fs::path> moved =
        on ? MoveSurplusBuildsAside(root, 2, {build}) : std::vector<fs::path>{};
    RemoveMovedBuilds(moved);
    const bool removed = !fs::exists(old) && !moved.empty() && !fs::exists(moved.front());
    std::printf("keep,%s,%.6f,%d\n", on ? "on" : "off", seconds, removed ? 1 : 0);
    RemoveTree(old);
    return 0;
}

int Refuse(wchar_t** argv) {
    const fs::path root = argv[4];
    RemoveTree(root);
    fs::create_directories(root);
    UpdateManifest manifest = BuildAt(argv[2], argv[3], "2.0");
    manifest.byteRanges = true;
    const std::optional<std::uint64_t> before = FreeBytesForCaller(root);
    std::string sentence;
    const auto start = Clock::now();
    try {
        InstallUpdate(manifest, root);
    } catch (const std::exception& failure) {
        sentence = failure.what();
    }
    const double seconds = Since(start);
    const std::optional<std::uint64_t> after = FreeBytesForCaller(root);
    int partials = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
        if (entry.path().filename().wstring() != L"versions") ++partials;
    }
    const long long lost = before && after ? static_cast<long long>(*before - *after) : -1;
    std::printf("refusal,launcher,%.6f,%lld,%d,%d\n", seconds, lost, partials,
                sentence == NotEnoughSpaceSentence ? 1 : 0);
    RemoveTree(root);
    return 0;
}

}  // namespace

int RunPlayerDiskBench(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"storage" && argc == 7) return Storage(argv);
    if (command == L"keep" && argc == 7) return Keep(argv);
    if (command == L"refuse" && argc == 5) return Refuse(argv);
    return -1;
}

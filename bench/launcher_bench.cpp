// Measures the launcher's own operations against the bare platform calls they
// wrap, in the same process and run. Prints CSV rows: row,subject,seconds[,extra].
//   download URL FILE REPS        HttpsGet file mode vs a bare WinHTTP loop
//   digest FILE REPS              Sha256FileHex vs bare CNG over the bytes in memory
//   install URL SHA256 ROOT REPS [stages]  InstallUpdate, with peak working-set
//                                 growth; with "stages", also the same stages one by
//                                 one through the launcher's functions and through
//                                 bare calls
//   remove FOLDER FILES REPS      RemoveTree vs std::filesystem::remove_all on a
//                                 build-like tree of FILES files
//   start LAUNCHER STARTER RECORD REPS [KEYED]  launcher to game start vs a minimal
//                                 starter, with the parts of the launcher's start on
//                                 their own; KEYED: also a launcher built with a
//                                 release key, on the same (signed) manifests
//   patch MANIFEST ROOT setup|update|full [ROW]  one installation of the
//                                 manifest's build: setup installs it and records it
//                                 as the player's build; update installs the next
//                                 build beside it (index and patch); full installs
//                                 into an empty root. Prints seconds and peak growth
//                                 in a row named ROW ("patch" unless given).
//   storage, keep, refuse         the player's disk (player_disk_bench.cpp)
#include <windows.h>
#include <bcrypt.h>
#include <psapi.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/scoped_handle.h"
#include "bench/player_disk_bench.h"
#include "base/text.h"
#include "service/digest.h"
#include "service/https_transfer.h"
#include "service/update_manifest.h"
#include "store/archive.h"
#include "store/launcher_state.h"
#include "store/tree_removal.h"
#include "store/update_installation.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The least a WinHTTP download can do: the same session, request and 64 KiB
// reads, written with WriteFile.
void BareDownload(const std::wstring& url, const fs::path& file) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
        static_cast<DWORD>(-1);
    WinHttpCrackUrl(url.c_str(), 0, 0, &parts);
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    WinHttpHandle session(
        WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr, nullptr, 0));
    WinHttpHandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    WinHttpHandle request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                             nullptr, nullptr, WINHTTP_FLAG_SECURE));
    WinHttpSendRequest(request.get(), nullptr, 0, nullptr, 0, 0, 0);
    WinHttpReceiveResponse(request.get(), nullptr);
    KernelHandle out(
        CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::vector<char> buffer(65536);
    for (DWORD read = 0; WinHttpReadData(request.get(), buffer.data(), 65536, &read) && read > 0;) {
        DWORD written = 0;
        WriteFile(out.get(), buffer.data(), read, &written, nullptr);
    }
}

// Bare CNG SHA-256: `feed` hands every piece of the input to the hash.
template <typename Feed>
void BareSha256(Feed feed) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    feed(hash);
    UCHAR digest[32];
    BCryptFinishHash(hash, digest, 32, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
}

void BareDigest(const std::string& bytes) {
    BareSha256([&](BCRYPT_HASH_HANDLE hash) {
        for (size_t at = 0; at < bytes.size(); at += 1 << 20) {
            const ULONG piece = static_cast<ULONG>(std::min<size_t>(1 << 20, bytes.size() - at));
            BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + at)),
                           piece, 0);
        }
    });
}

// CNG over the file read with plain ReadFile, 1 MiB at a time.
void BareFileDigest(const fs::path& file) {
    KernelHandle in(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    std::vector<UCHAR> buffer(1 << 20);
    BareSha256([&](BCRYPT_HASH_HANDLE hash) {
        for (DWORD read = 0;
             ReadFile(in.get(), buffer.data(), 1 << 20, &read, nullptr) && read > 0;) {
            BCryptHashData(hash, buffer.data(), read, 0);
        }
    });
}

// Start to exit of a program, its output read off a pipe and dropped: the
// least a caller that needs the output (a listing) can do.
double TimeToExit(const fs::path& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE rawRead = nullptr;
    HANDLE rawWrite = nullptr;
    if (!CreatePipe(&rawRead, &rawWrite, &inheritable, 0)) return -1;
    KernelHandle readEnd(rawRead);
    KernelHandle writeEnd(rawWrite);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION info{};
    const auto start = Clock::now();
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    writeEnd.reset();
    if (!started) return -1;
    KernelHandle process(info.hProcess);
    KernelHandle thread(info.hThread);
    std::vector<char> buffer(65536);
    for (DWORD read = 0;
         ReadFile(readEnd.get(), buffer.data(), 65536, &read, nullptr) && read > 0;) {
    }
    WaitForSingleObject(process.get(), INFINITE);
    return Since(start);
}

void PrintStage(const char* subject, const char* stage, double seconds) {
    std::printf("stage,%s-%s,%.6f\n", subject, stage, seconds);
}

struct Stages {
    fs::path staging, archive, unpacked, build;
};

// A staging folder and a build folder of one subject's own, both empty.
Stages StageFolders(const fs::path& root, const wchar_t* subject) {
    const fs::path staging = root / (std::wstring(L"stages-") + subject);
    Stages folders{staging, staging / L"runtime.zip", staging / L"runtime",
                   root / L"versions" / subject};
    fs::remove_all(folders.staging);
    fs::remove_all(folders.build);
    fs::create_directories(folders.staging);
    return folders;
}

// InstallUpdate's stages one after the other through the launcher's own
// functions, so that the whole can be set against the sum of its parts.
void TimeLauncherStages(const std::wstring& url, const fs::path& root) {
    const auto [staging, archive, unpacked, build] = StageFolders(root, L"launcher");
    const std::wstring tar = SystemTarPath().wstring();
    auto start = Clock::now();
    HttpsGet(url, nullptr, &archive);
    PrintStage("launcher", "download", Since(start));
    start = Clock::now();
    Sha256FileHex(archive);
    PrintStage("launcher", "digest", Since(start));
    start = Clock::now();
    CheckArchiveListing(RunCapturedProcess({tar, L"-tf", archive.wstring()}));
    PrintStage("launcher", "list", Since(start));
    start = Clock::now();
    fs::create_directories(unpacked);
    RunCapturedProcess({tar, L"-xf", archive.wstring(), L"-C", unpacked.wstring()});
    PrintStage("launcher", "extract", Since(start));
    start = Clock::now();
    fs::rename(unpacked, build);
    fs::remove_all(staging);
    PrintStage("launcher", "rename", Since(start));
    start = Clock::now();
    RunCapturedProcess({tar, L"--version"});
    PrintStage("launcher", "tarstart", Since(start));
    fs::remove_all(build);
}

// The same stages with the least code the platform allows: the floor that the
// Wine-side platform parts set, whoever drives them.
void TimeBareStages(const std::wstring& url, const fs::path& root) {
    const auto [staging, archive, unpacked, build] = StageFolders(root, L"bare");
    const fs::path tar = SystemTarPath();
    auto start = Clock::now();
    BareDownload(url, archive);
    PrintStage("bare", "download", Since(start));
    start = Clock::now();
    BareFileDigest(archive);
    PrintStage("bare", "digest", Since(start));
    PrintStage("bare", "list", TimeToExit(tar, L"-tf \"" + archive.wstring() + L"\""));
    CreateDirectoryW(unpacked.c_str(), nullptr);
    PrintStage(
        "bare", "extract",
        TimeToExit(tar, L"-xf \"" + archive.wstring() + L"\" -C \"" + unpacked.wstring() + L"\""));
    // As the launcher's stage does: into place, then the archive and staging gone.
    start = Clock::now();
    MoveFileW(unpacked.c_str(), build.c_str());
    DeleteFileW(archive.c_str());
    RemoveDirectoryW(staging.c_str());
    PrintStage("bare", "rename", Since(start));
    PrintStage("bare", "tarstart", TimeToExit(tar, L"--version"));
    fs::remove_all(build);
}

size_t PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakWorkingSetSize;
}

size_t WorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.WorkingSetSize;
}

// From process start to the game stand-in's record appearing.
double TimeToRecord(const fs::path& program, const std::wstring& arguments, const fs::path& base) {
    // A record name of its own per start, so a late writer from an earlier
    // start cannot be mistaken for this one.
    static int starts = 0;
    const fs::path record = base.wstring() + L"-" + std::to_wstring(++starts) + L".txt";
    SetEnvironmentVariableW(L"TESSIK_GAME_RECORD", record.c_str());
    std::error_code ignored;
    fs::remove(record, ignored);
    std::wstring commandLine = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const auto start = Clock::now();
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        return -1;
    }
    KernelHandle process(info.hProcess);
    KernelHandle thread(info.hThread);
    while (!fs::exists(record, ignored)) {
        if (Since(start) > 30) return -1;
        Sleep(2);
    }
    const double seconds = Since(start);
    WaitForSingleObject(process.get(), 30000);
    return seconds;
}

// A build's shape: folders of 100 files, ten to a parent folder.
void MakeTree(const fs::path& root, int files) {
    for (int i = 0; i < files; ++i) {
        const fs::path folder = root / std::to_wstring(i / 1000) / std::to_wstring(i / 100 % 10);
        if (i % 100 == 0) fs::create_directories(folder);
        const HANDLE raw = CreateFileW((folder / (L"f" + std::to_wstring(i) + L".bin")).c_str(),
                                       GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (raw == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "could not make the tree\n");
            std::exit(1);
        }
        KernelHandle file(raw);
        DWORD written = 0;
        WriteFile(file.get(), "x", 1, &written, nullptr);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"download" && argc == 5) {
        const int reps = _wtoi(argv[4]);
        const fs::path file = argv[3];
        // One unmeasured round warms the connection path; then alternating
        // which goes first, so neither always meets a warm server.
        HttpsGet(argv[2], nullptr, &file);
        BareDownload(argv[2], file);
        for (int i = 0; i < reps * 2; ++i) {
            const bool launcher = (i % 2 == 0) == (i / 2 % 2 == 0);
            const auto start = Clock::now();
            if (launcher) {
                HttpsGet(argv[2], nullptr, &file);
            } else {
                BareDownload(argv[2], file);
            }
            std::printf("download,%s,%.6f,%llu\n", launcher ? "launcher" : "bare", Since(start),
                        static_cast<unsigned long long>(fs::file_size(file)));
        }
        return 0;
    }
    if (command == L"digest" && argc == 4) {
        const fs::path file = argv[2];
        std::ifstream in(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        for (int i = 0, reps = _wtoi(argv[3]); i < reps; ++i) {
            auto start = Clock::now();
            Sha256FileHex(file);
            std::printf("digest,launcher,%.6f,%zu\n", Since(start), bytes.size());
            start = Clock::now();
            BareDigest(bytes);
            std::printf("digest,bare,%.6f,%zu\n", Since(start), bytes.size());
        }
        return 0;
    }
    if (command == L"remove" && argc == 5) {
        const fs::path root = argv[2];
        const int files = _wtoi(argv[3]);
        for (int i = 0, reps = _wtoi(argv[4]); i < reps * 2; ++i) {
            // Alternating which goes first, as the other rows do.
            const bool launcher = (i % 2 == 0) == (i / 2 % 2 == 0);
            MakeTree(root, files);
            const auto start = Clock::now();
            if (launcher) {
                RemoveTree(root);
            } else {
                fs::remove_all(root);
            }
            std::printf("remove,%s,%.6f,%d\n", launcher ? "launcher" : "std", Since(start), files);
        }
        return 0;
    }
    if (command == L"install" && (argc == 6 || argc == 7)) {
        const bool stages = argc == 7 && std::wstring(argv[6]) == L"stages";
        UpdateManifest manifest;
        manifest.version = "9.9.9";
        manifest.url = argv[2];
        std::wstring sha(argv[3]);
        manifest.sha256.assign(sha.begin(), sha.end());
        manifest.executable = "tessik.exe";
        const fs::path root = argv[4];
        fs::create_directories(root);
        // The launcher fetches its manifests before it installs, so the TLS
        // stack has started by then; here one small request does that.
        const size_t cold = WorkingSet();
        const std::wstring warmup = ReadEnvironmentVariable(L"TESSIK_BENCH_WARMUP");
        if (!warmup.empty()) {
            std::string text;
            HttpsGet(warmup, &text, nullptr);
        }
        const size_t idle = WorkingSet();
        std::printf("memory,tls-startup,0,%zu\n", idle > cold ? idle - cold : 0);
        for (int i = 0, reps = _wtoi(argv[5]); i < reps; ++i) {
            fs::remove_all(root / L"versions");
            auto start = Clock::now();
            try {
                InstallUpdate(manifest, root);
            } catch (const std::exception& error) {
                // One passing failure (a loaded machine) costs a repetition,
                // not the run; the report names it. A second one ends the run.
                std::printf("failed,install,%s\n", error.what());
                fs::remove_all(root / L"versions");
                start = Clock::now();
                InstallUpdate(manifest, root);
            }
            std::printf("install,launcher,%.6f,%zu\n", Since(start), PeakWorkingSet() - idle);
            // Neither set of stages always runs on the heels of the other.
            if (stages && i % 2 == 0) {
                TimeLauncherStages(manifest.url, root);
                TimeBareStages(manifest.url, root);
            } else if (stages) {
                TimeBareStages(manifest.url, root);
                TimeLauncherStages(manifest.url, root);
            }
        }
        return 0;
    }
    if (command == L"start" && (argc == 6 || argc == 7)) {
        // The launcher's storage for this row; its first run installs the build.
        wchar_t appData[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(L"TESSIK_BENCH_APPDATA", appData, MAX_PATH);
        if (length > 0 && length < MAX_PATH) SetEnvironmentVariableW(L"APPDATA", appData);
        // Each start follows a pause, so that the game the one before started
        // has ended (the minimal starter does not wait for it), and the order
        // turns, so that no subject always follows the same one.
        const auto timeStart = [&](const char* subject, const wchar_t* program,
                                   const wchar_t* arguments) {
            Sleep(300);
            std::printf("start,%s,%.6f\n", subject, TimeToRecord(program, arguments, argv[4]));
        };
        for (int i = 0, reps = _wtoi(argv[5]); i < reps; ++i) {
            const bool keyedFirst = argc == 7 && i % 2 == 1;
            if (keyedFirst) timeStart("launcher-keyed", argv[6], L"tessik://bench");
            timeStart("launcher", argv[2], L"tessik://bench");
            timeStart("minimal", argv[3], L"");
            if (argc == 7 && !keyedFirst) timeStart("launcher-keyed", argv[6], L"tessik://bench");
        }
        // Where the launcher's start goes: its process with no window and no
        // request, then with one manifest request, then one request in-process.
        const std::wstring manifest = ReadEnvironmentVariable(L"TESSIK_UPDATE_MANIFEST");
        for (int i = 0, reps = _wtoi(argv[5]); i < reps; ++i) {
            std::printf("start,selftest,%.6f\n", TimeToExit(argv[2], L"--selftest"));
            std::printf("start,probe,%.6f\n", TimeToExit(argv[2], L"--probe-manifest"));
            if (argc == 7) {
                std::printf("start,probe-keyed,%.6f\n", TimeToExit(argv[6], L"--probe-manifest"));
            }
            // The first HTTPS request of a process pays for the TLS stack's
            // start-up; the later ones show a request's own cost.
            std::string text;
            const auto start = Clock::now();
            HttpsGet(manifest, &text, nullptr);
            std::printf("start,%s,%.6f\n", i == 0 ? "request-first" : "request", Since(start));
        }
        return 0;
    }
    if (command == L"patch" && (argc == 5 || argc == 6)) {
        const std::wstring mode = argv[4];
        const std::wstring row = argc == 6 ? argv[5] : L"patch";
        const fs::path root = argv[3];
        // The manifest's request also starts the TLS stack, before idle is taken.
        std::string text;
        HttpsGet(argv[2], &text, nullptr);
        const UpdateManifest manifest = ParseUpdateManifest(text, "tessik.exe");
        if (mode == L"full") fs::remove_all(root);
        fs::create_directories(root);
        RemoveTree(root / L"versions" / Utf8ToUtf16(manifest.version));
        const size_t idle = WorkingSet();
        const auto start = Clock::now();
        const fs::path build = InstallUpdate(manifest, root);
        const double seconds = Since(start);
        if (mode == L"setup") {
            WriteLauncherState(root / StateFileName, {manifest.version, build});
        } else {
            std::printf("%ls,%ls,%.6f,%zu\n", row.c_str(), mode.c_str(), seconds,
                        PeakWorkingSet() - idle);
        }
        return 0;
    }
    if (const int code = RunPlayerDiskBench(argc, argv); code >= 0) return code;
    std::fprintf(stderr, "usage: see the comment at the top of launcher_bench.cpp\n");
    return 2;
}

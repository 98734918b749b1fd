#include "app/diagnostics.h"

#include <windows.h>

#include <filesystem>

#include "app/update_worker.h"
#include "base/long_path_files.h"
#include "service/https_transfer.h"
#include "service/manifest_signature.h"
#include "service/update_manifest.h"
#include "store/archive.h"
#include "store/installed_versions.h"
#include "store/storage.h"
#include "store/tree_removal.h"

namespace fs = std::filesystem;

const DiagnosticSamples& BuiltInDiagnosticSamples() {
    static const DiagnosticSamples samples{
        "{\"version\":\"0.1.136\",\"platform\":\"windows-x86_64\",\"url\":\"https://"
        "updates.example.com/runtime.zip?version=0.1.136\",\"sha256\":\""
        "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\",\"executable\":"
        "\"tessik.exe\"}",
        "0.1.136",
        "assets/models/bird.glb",
        {"../tessik.exe", "C:\\tessik.exe", "assets/../../tessik.exe"},
        {L"versions\\0.1.99", L"versions\\0.1.190", L"versions\\broken"},
        {L"versions\\0.1.99\\tessik.exe", L"versions\\0.1.190\\tessik.exe"},
        {L"0.1.190", L"0.1.99"},
    };
    return samples;
}

int RunDiagnosticsWith(const DiagnosticSamples& samples, bool probe) {
    try {
        const UpdateManifest manifest = ParseUpdateManifest(samples.manifest, "tessik.exe");
        if (manifest.version != samples.expectedVersion || manifest.executable != "tessik.exe") {
            return 11;
        }
        if (!IsSafeArchiveEntry(samples.safeEntry)) {
            return 12;
        }
        for (const std::string& entry : samples.unsafeEntries) {
            if (IsSafeArchiveEntry(entry)) {
                return 13;
            }
        }

        // The temporary folder must exist, as for any program: the self-test
        // creates nothing outside it.
        wchar_t temporary[MAX_PATH + 1];
        const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
        if (length == 0 || length > MAX_PATH) return 10;
        const fs::path temporaryFolder(std::wstring(temporary, length));
        if (!IsFolderAt(temporaryFolder)) return 10;
        const fs::path store = temporaryFolder / (L"tessik-launcher-selftest-" +
                                                  std::to_wstring(GetCurrentProcessId()));
        TryRemoveTree(store);
        for (const std::wstring& folder : samples.storeFolders) {
            CreateFolders(store / folder);
        }
        for (const std::wstring& file : samples.storeExecutables) {
            WriteFileBytes(store / file, "test");
        }
        const std::vector<InstalledVersion> listing = ListInstalledVersions(store);
        TryRemoveTree(store);

        std::vector<std::wstring> names;
        for (const InstalledVersion& build : listing) {
            names.push_back(build.name);
        }
        if (names != samples.expectedListing) {
            return 14;
        }
        if (!probe) {
            return 0;
        }
        std::string text;
        HttpsGet(GameManifestAddress(), &text, nullptr);
        ReadUpdateManifest(text, "tessik.exe");
        return 0;
    } catch (...) {
        return 10;
    }
}

int RunDiagnostics(bool probe) { return RunDiagnosticsWith(BuiltInDiagnosticSamples(), probe); }

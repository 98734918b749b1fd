#pragma once

#include <string>
#include <vector>

// What the self-test checks, as data: the behaviour of the manifest reader,
// the entry-name check and the listing on fixed samples.
struct DiagnosticSamples {
    std::string manifest;                        // read with "tessik.exe" expected
    std::string expectedVersion;                 // its version must read back as this
    std::string safeEntry;                       // must pass the entry-name check
    std::vector<std::string> unsafeEntries;      // must each fail it
    std::vector<std::wstring> storeFolders;      // made under the sample store
    std::vector<std::wstring> storeExecutables;  // files holding "test"
    std::vector<std::wstring> expectedListing;   // names, newest first
};

// The samples built into the launcher.
const DiagnosticSamples& BuiltInDiagnosticSamples();

// The self-test (and, with `probe`, the live game manifest) on the given
// samples. Returns the exit code: 0 passed, 10 a step raised an error, 11 the
// sample manifest read wrong, 12 the safe entry was refused, 13 an unsafe
// entry passed, 14 the sample store listed wrong.
int RunDiagnosticsWith(const DiagnosticSamples& samples, bool probe);

// --selftest and --verify-native (probe false), --probe-manifest (probe true).
int RunDiagnostics(bool probe);

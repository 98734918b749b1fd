#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "publish/release_folder.h"

// Refusals are std::runtime_error with one sentence for the release engineer.

struct Options {
    bool force = false;                // publish over a refusal that --force names
    bool dryRun = false;               // check everything, write nothing
    std::filesystem::path signingKey;  // sign each manifest written (empty: unsigned)
    int patchCount = 3;                // patches from this many earlier game builds
    int expiresInDays = 0;             // a signed manifest expires this many days on (0: never)
    bool byteRanges = true;  // manifests say the host serves ranges (--no-byte-ranges: not)
    // --keep-builds for the game's manifest: "N", or "" for every build;
    // nullopt keeps the live manifest's.
    std::optional<std::string> keepBuilds;
};

// What a command found or did, for the text and the JSON output.
struct Report {
    struct Section {
        std::string title;
        std::vector<std::pair<std::string, std::string>> fields;
    };
    bool ok = true;
    std::vector<Section> sections;
    std::vector<std::string> warnings;
};

// The version record's version text of a launcher executable, after checking
// that it is a 64-bit Windows GUI program named TESSIK-Launcher-Windows-x64.exe.
std::string LauncherVersionOf(const std::filesystem::path& executable);

// Publishes into `folder` (the host root): the build under "builds/" with its
// digest in its name, then the manifest. Each is written through a flushed
// temporary file and renamed into place; nothing is written for a refusal.
// `version` is the game's; a launcher's comes from its version record.
Report PublishBuild(const ReleaseKind& kind, const std::filesystem::path& source,
                    std::string version, const std::string& baseUrl,
                    const std::filesystem::path& folder, const Options& options);

// Points the kind's manifest at a build of `version` already in "builds/",
// after verifying it. An empty `baseUrl` keeps the live manifest's.
Report Promote(const ReleaseKind& kind, const std::filesystem::path& folder,
               const std::string& version, const std::string& baseUrl, const Options& options);

// What each manifest names, and whether that build is there and whole; with a
// public key, also whether that key verifies each manifest's signature.
Report Status(const std::filesystem::path& folder, const std::filesystem::path& publicKey = {});

// The release as launchers see it at the public address `url` (the base URL
// given when publishing): each manifest read from there as a launcher reads
// it, and the build it names fetched whole, with its answer, headers, size
// and digest checked. With a folder, each manifest served must be the one in
// it; with a public key, the key must verify it.
struct RemoteOptions {
    std::filesystem::path folder;     // empty: no comparison
    std::filesystem::path publicKey;  // empty: signatures not checked
    std::string caFile;               // empty: the system's trusted roots
};
Report RemoteStatus(const std::string& url, const RemoteOptions& remote);

// Removes builds no manifest names, keeping the `keep` newest of each kind;
// refuses to remove anything while a manifest cannot be read.
Report Prune(const std::filesystem::path& folder, int keep, const Options& options);

// What to upload to object storage or a CDN origin, in order, with the
// headers of each file kind: the builds, then the manifests, then removals.
Report UploadOrder(const std::filesystem::path& folder);

#pragma once

#include <cstdint>
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
    int patchLimit = 50;     // skip a patch over this share of the full archive, in percent
    // --keep-builds for the game's manifest: "N", or "" for every build;
    // nullopt keeps the live manifest's.
    std::optional<std::string> keepBuilds;
};

// What a command found or did, for the text and the JSON output. A field's
// JSON is its text as a string unless it carries its own JSON value (a
// number, an array, an object); a field shows in one of the two only when
// the other has its own form of the same fact.
struct Report {
    struct Field {
        enum Shown { Both, TextOnly, JsonOnly };
        Field(std::string key, std::string text, std::string json = "", Shown shown = Both)
            : key(std::move(key)), text(std::move(text)), json(std::move(json)), shown(shown) {}
        std::string key;
        std::string text;
        std::string json;  // raw JSON; empty: the text as a JSON string
        Shown shown;
    };
    struct Section {
        Section(std::string title, std::vector<Field> fields = {}, std::string heading = "")
            : title(std::move(title)), fields(std::move(fields)), heading(std::move(heading)) {}
        std::string title;
        std::vector<Field> fields;
        std::string heading;  // replaces the command's heading when set
        void Number(const std::string& key, uint64_t value) {
            fields.push_back({key, std::to_string(value), std::to_string(value)});
        }
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
// `version` is the game's; a launcher's comes from its version record. A
// game's `source` is a zip or a folder, which is written as a zip first.
Report PublishBuild(const ReleaseKind& kind, const std::filesystem::path& source,
                    std::string version, const std::string& baseUrl,
                    const std::filesystem::path& folder, const Options& options);

// Points the kind's manifest at a build of `version` already in "builds/",
// after verifying it. An empty `baseUrl` keeps the live manifest's.
Report Promote(const ReleaseKind& kind, const std::filesystem::path& folder,
               const std::string& version, const std::string& baseUrl, const Options& options);

// What each manifest names, and whether that build, its index and the
// patches the index lists are there and whole; with a public key, also
// whether that key verifies each manifest's signature. Lists the index and
// patch files nothing names, and the files of names the tool never writes.
Report Status(const std::filesystem::path& folder, const std::filesystem::path& publicKey = {});

// The release as launchers see it at the public address `url` (the base URL
// given when publishing): each manifest read from there as a launcher reads
// it, then the build it names, its index and every patch that index lists,
// each fetched whole, with its answer, headers, size and digest checked. With a folder, each
// manifest served must be the one in it; with a public key, the key must verify it.
struct RemoteOptions {
    std::filesystem::path folder;     // empty: no comparison
    std::filesystem::path publicKey;  // empty: signatures not checked
    std::string caFile;               // empty: the system's trusted roots
};
Report RemoteStatus(const std::string& url, const RemoteOptions& remote);

// Removes builds no manifest names, keeping the `keep` newest of each kind,
// then every index and patch that no remaining build needs; refuses to
// remove anything while a manifest cannot be read.
Report Prune(const std::filesystem::path& folder, int keep, const Options& options);

// What to upload to object storage or a CDN origin, in order, with the
// headers of each file kind: the builds with their indexes and patches, then
// the manifests, then removals.
Report UploadOrder(const std::filesystem::path& folder);

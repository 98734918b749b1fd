#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "publish/authenticode.h"
#include "publish/base_url.h"
#include "publish/game_archive.h"
#include "publish/manifest_json.h"
#include "publish/publish.h"

// The judgements the writing commands share: what an executable or an
// archive is, and the refusals that --force turns into warnings.

std::string ReadWhole(const std::filesystem::path& file);
std::string Lower(std::string text);
bool HasControlCharacter(const std::string& text);

// Refuses a version that cannot name one folder on Windows.
void RequireSafeVersion(const std::string& version);

struct LauncherFacts {
    std::string version;
    std::string updateHost;
    std::string releaseKey;  // X then Y in hex; empty for a launcher without one
    Authenticode signature = Authenticode::None;
};
LauncherFacts ReadLauncherFacts(const std::filesystem::path& executable);

// The launcher must read its manifests at `base` and carry the signing key.
void CheckLauncherHost(const LauncherFacts& facts, const BaseUrl& base, const Options& options,
                       Report& report);
void CheckLauncherKey(const LauncherFacts& facts, const Options& options, Report& report);
// A signed release is not replaced by an unsigned manifest without a word.
void CheckStaysSigned(const std::optional<ManifestFields>& live, const Options& options,
                      Report& report);
// Another build of this version, or one older than the live one.
void CheckVersionIsNew(const ReleaseKind& kind, const std::filesystem::path& folder,
                       const std::optional<ManifestFields>& live, const std::string& version,
                       const std::string& sha256, const Options& options, Report& report);
void CheckNotOlder(const ReleaseKind& kind, const std::optional<ManifestFields>& live,
                   const std::string& version, const Options& options, Report& report);

// The archive checked as the launcher will; its warnings join the report's.
GameArchiveFacts CheckGame(const std::filesystem::path& archive, Report& report);

// The launcher's signature, or the one of the game's tessik.exe.
void ReportSignature(const std::optional<LauncherFacts>& launcher, const GameArchiveFacts& game,
                     Report::Section& section, Report& report);

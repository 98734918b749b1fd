#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "service/manifest_signature.h"
#include "service/update_manifest.h"

// The highest manifest sequence a launcher built with a release key has
// accepted, per kind of manifest, kept in the storage root.
inline constexpr wchar_t SequenceFileName[] = L"manifest-sequences.json";

enum class ManifestKind { Game, Launcher };

// The file is read at the first question and written only when a number
// rises, through a flushed temporary file as the state file is. A launcher
// without a release key never asks, so it never touches the file.
class RememberedSequences {
  public:
    explicit RememberedSequences(std::filesystem::path file) : file_(std::move(file)) {}

    std::optional<std::uint64_t> Highest(ManifestKind kind);
    void Accept(ManifestKind kind, std::optional<std::uint64_t> sequence);

  private:
    std::filesystem::path file_;
    bool loaded_ = false;
    std::optional<std::uint64_t> game_;
    std::optional<std::uint64_t> launcher_;
};

// The file's exact bytes: {"game":"N","launcher":"N"}, a kind with no
// sequence left out.
std::string FormatRememberedSequences(std::optional<std::uint64_t> game,
                                      std::optional<std::uint64_t> launcher);

// ReadUpdateManifest against the sequence remembered for `kind`; a higher
// sequence is remembered once the manifest is accepted.
inline UpdateManifest ReadRememberedManifest(const std::string& text,
                                             const std::string& expectedExecutable,
                                             ManifestKind kind, RememberedSequences& seen) {
    if constexpr (KeyedLauncher) {
        UpdateManifest manifest = ReadUpdateManifest(text, expectedExecutable, seen.Highest(kind));
        seen.Accept(kind, manifest.sequence);
        return manifest;
    } else {
        (void)kind;
        (void)seen;
        return ReadUpdateManifest(text, expectedExecutable);
    }
}

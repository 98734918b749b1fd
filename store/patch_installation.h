#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "service/update_manifest.h"
#include "format/build_index.h"

// Installs a build that the manifest describes with a build index: the files
// that stored builds already hold are copied from them, the rest come from the
// patch that leads from the recorded version, and the staged tree must match
// the index exactly. Without a usable index both steps do nothing.
class PatchInstallation {
  public:
    PatchInstallation(const UpdateManifest& manifest, const std::filesystem::path& root,
                      const std::filesystem::path& staging);

    // Assembles the build in `unpacked` (inside the staging folder). False,
    // with nothing left in `unpacked`, when anything on the way fails: the
    // caller then installs the full archive.
    bool TryAssemble(const std::filesystem::path& unpacked);

    // After the full archive is unpacked into `unpacked`: fails with "Windows
    // unpacked the update differently from the published build" when the tree
    // is not exactly the indexed build (a name Windows' tar.exe changed, two
    // entries NTFS merged). Does nothing without a usable index.
    void CheckUnpacked(const std::filesystem::path& unpacked);

    // The digest of the patch an update takes (ChoosePatch): the one partial
    // patch worth keeping. Empty without a usable index or such a patch.
    std::string RecordedPatchSha256() const;
    // The unpacked build's size by its index; empty without a usable index.
    std::optional<std::uint64_t> IndexedSize() const;

  private:
    std::optional<IndexPatch> ChosenPatch() const;
    void Assemble(const std::filesystem::path& unpacked);

    const UpdateManifest& manifest_;
    std::filesystem::path root_;
    std::filesystem::path staging_;
    std::optional<BuildIndex> index_;
};

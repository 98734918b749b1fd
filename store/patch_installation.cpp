#include "store/patch_installation.h"

#include <windows.h>

#include <atomic>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "base/folder_walk.h"
#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "service/digest.h"
#include "service/https_transfer.h"
#include "store/archive.h"
#include "store/delta_installation.h"
#include "store/disk_space.h"
#include "store/held_file_bytes.h"
#include "store/launcher_state.h"
#include "store/partial_download.h"
#include "store/stored_copies.h"
#include "store/patch_choice.h"
#include "store/storage.h"
#include "store/tree_removal.h"
#include "store/version_name.h"
#include "format/windows_names.h"
#include "format/zip_directory.h"

namespace fs = std::filesystem;

namespace {

constexpr char TreeMismatch[] = "Windows unpacked the update differently from the published build";

std::wstring SiblingOf(const UpdateManifest& manifest, const std::string& name) {
    return Utf8ToUtf16(SiblingAddress(Utf16ToUtf8(manifest.url), name));
}

// The NTFS keys of the files a whole-file patch writes, from its records. A
// patch is judged by the rules of a full archive, except that it need not
// hold the executable.
std::set<std::string> WholePatchFiles(const std::vector<ZipEntry>& entries) {
    if (FindWindowsEntryProblem(entries)) {
        throw LauncherError("The update archive contains an unsafe path");
    }
    std::set<std::string> written;
    for (const ZipEntry& entry : entries) {
        // Keyed as the index keys its paths, so a file the patch overwrote is
        // always read again: a name spelled another way is refused.
        const std::string_view name =
            std::string_view(entry.name).substr(0, entry.name.size() - (entry.isFolder ? 1 : 0));
        if (!IsPlainIndexPath(name)) {
            throw LauncherError("The update archive contains an unsafe path");
        }
        if (!entry.isFolder) written.insert(IndexPathKey(name));
    }
    return written;
}

// The staged tree holds exactly the index's files and folders, no link, each
// file with its size and digest. Digests taken while copying are used; the
// other files are read once here.
void CheckTree(const fs::path& unpacked, const BuildIndex& index, const KnownDigests& known) {
    if (TreeHoldsLink(unpacked)) throw LauncherError(TreeMismatch);
    const IndexLookup lookup(index);
    std::set<std::string> files;
    std::set<std::string> folders;
    const bool listed =
        WalkFolderTree(unpacked, [&](const std::wstring& relative, const FolderEntry& entry) {
            const std::string key = IndexPathKey(Utf16ToUtf8(relative));
            if (entry.IsLink()) throw LauncherError(TreeMismatch);
            if (entry.IsFolder()) {
                if (lookup.folders.count(key) == 0) throw LauncherError(TreeMismatch);
                folders.insert(key);
                return;
            }
            const auto file = lookup.files.find(key);
            if (file == lookup.files.end() || !files.insert(key).second ||
                entry.size != file->second->size) {
                throw LauncherError(TreeMismatch);
            }
            const auto digest = known.find(key);
            const std::string sha256 =
                digest != known.end() ? digest->second : Sha256FileHex(unpacked / relative);
            if (sha256 != file->second->sha256) throw LauncherError(TreeMismatch);
        });
    if (!listed) throw LauncherError("Could not examine the unpacked update");
    if (files.size() != lookup.files.size() || folders.size() != lookup.folders.size()) {
        throw LauncherError(TreeMismatch);
    }
}

}  // namespace

PatchInstallation::PatchInstallation(const UpdateManifest& manifest, const fs::path& root,
                                     const fs::path& staging)
    : manifest_(manifest), root_(root), staging_(staging) {
    if (manifest.buildIndex.empty()) return;
    const fs::path file = staging / L"build.index";
    try {
        // Bounded as it arrives: a host cannot fill the disk with an index.
        DownloadOptions bounded;
        bounded.maxBytes = BuildIndexLimit;
        bounded.replyLength = BuildDownloadFits(root, 0);
        HttpsDownload(SiblingOf(manifest, BuildIndexFileName(manifest.buildIndex)), file, bounded);
        if (Sha256FileHex(file) == manifest.buildIndex) {
            BuildIndex parsed = ParseBuildIndex(ReadFileBytes(file));
            // An index of another build (a host that mixed releases up) would
            // assemble that build: not used.
            if (parsed.buildSha256 == manifest.sha256 && parsed.version == manifest.version) {
                index_ = std::move(parsed);
            }
        }
    } catch (const std::exception&) {
        // An index that cannot be had is not used; the full archive needs none.
    }
    RemoveFileAt(file);
}

std::optional<IndexPatch> PatchInstallation::ChosenPatch() const {
    if (!index_) return std::nullopt;
    const std::string recorded = ReadLauncherState(root_ / StateFileName).version;
    const fs::path target = root_ / L"versions" / SafeVersionName(manifest_.version);
    return ChoosePatch(index_->patches, recorded, StoredBuildNames(root_, target));
}

std::string PatchInstallation::RecordedPatchSha256() const {
    try {
        const std::optional<IndexPatch> patch = ChosenPatch();
        return patch ? patch->sha256 : "";
    } catch (const std::exception&) {
        return "";
    }
}

bool PatchInstallation::TryAssemble(const fs::path& unpacked) {
    if (!index_) return false;
    PostStatus(L"Installing verified update...");
    try {
        Assemble(unpacked);
        return true;
    } catch (const std::exception& failure) {
        // Nothing of the attempt stays; the full archive is installed instead.
        TryRemoveTree(unpacked);
        TryRemoveTree(staging_ / L"delta");
        TryRemoveTree(staging_ / L"patch.zip");
        // A disk too small for the patch is too small for the whole build.
        if (dynamic_cast<const DiskSpaceError*>(&failure) != nullptr) throw;
        PostStatus(L"Downloading into TESSIK storage...");
        return false;
    }
}

void PatchInstallation::Assemble(const fs::path& unpacked) {
    const std::string recorded = ReadLauncherState(root_ / StateFileName).version;
    const fs::path target = root_ / L"versions" / SafeVersionName(manifest_.version);
    const std::vector<std::wstring> names = StoredBuildNames(root_, target);
    const std::optional<IndexPatch> patch = ChoosePatch(index_->patches, recorded, names);
    const std::vector<fs::path> stored =
        StoredBuilds(root_, patch ? patch->fromVersion : recorded, names);

    CreateFolders(unpacked);
    std::set<fs::path> made;
    for (const IndexFile& file : index_->files) {
        const fs::path parent = (unpacked / Utf8ToUtf16(file.path)).parent_path();
        if (made.insert(parent).second) CreateFolders(parent);
    }
    const fs::path file = staging_ / L"patch.zip";
    KernelHandle held;
    std::optional<DeltaInstallation> delta;
    std::set<std::string> provided;
    if (patch) {
        // Resumed like the full archive where the host serves ranges.
        UpdateManifest patchFile = manifest_;
        patchFile.url = SiblingOf(manifest_, PatchFileName(patch->sha256));
        patchFile.sha256 = patch->sha256;
        // Held, sharing reading only, until tar.exe has read it. The files it
        // provides are not known before it is here: the whole build is the most
        // it unpacks to.
        held = DownloadVerifiedFile(
            patchFile, root_, L"patch", file, "Downloaded update failed its SHA-256 check",
            DownloadOptions{.progress = PostProgress,
                            .replyLength = BuildDownloadFits(root_, IndexedSize())});
        if (patch->delta) {
            delta.emplace(held.get(), *index_,
                          root_ / L"versions" / SafeVersionName(patch->fromVersion));
            provided = delta->Provided();
        } else {
            provided = WholePatchFiles(ReadHeldZipDirectory(held.get()));
        }
    }
    // What the patch provides is never copied from a stored build first.
    std::vector<IndexFile> unchanged;
    std::uint64_t unchangedBytes = 0;
    for (const IndexFile& indexed : index_->files) {
        if (provided.count(IndexPathKey(indexed.path)) == 0) {
            unchanged.push_back(indexed);
            unchangedBytes += indexed.size;
        }
    }
    if (delta) {
        // Before tar.exe runs: the literals, whole files, rebuilt files and
        // copies must all fit, so that a patch cannot fill the disk.
        try {
            RequireFreeSpace(root_, delta->BytesWritten() + unchangedBytes);
        } catch (const DiskSpaceError&) {
            // The full archive's own check decides whether the build fits.
            throw LauncherError("The delta patch is not usable");
        }
    }
    const std::vector<bool> copied = CopyStoredFiles(unchanged, stored, unpacked);
    KnownDigests known;
    for (size_t i = 0; i < copied.size(); ++i) {
        if (!copied[i]) throw LauncherError("No stored build holds an unchanged file");
        known[IndexPathKey(unchanged[i].path)] = unchanged[i].sha256;
    }
    if (delta) {
        delta->Install(file, staging_ / L"delta", unpacked, known);
    } else if (patch) {
        // What the patch wrote is read from disk in the check below.
        UnpackPatchParts(file, {ArchivePart{unpacked, {}}});
    }
    delta.reset();
    held.reset();
    RemoveFileAt(file);
    for (const std::string& folder : index_->folders) {
        CreateFolders(unpacked / Utf8ToUtf16(folder));
    }
    CheckTree(unpacked, *index_, known);
}

std::optional<std::uint64_t> PatchInstallation::IndexedSize() const {
    if (!index_) return std::nullopt;
    std::uint64_t size = 0;
    for (const IndexFile& file : index_->files) size += file.size;
    return size;
}

void PatchInstallation::CheckUnpacked(const fs::path& unpacked) {
    if (index_) CheckTree(unpacked, *index_, {});
}

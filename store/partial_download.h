#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/scoped_handle.h"
#include "service/https_transfer.h"
#include "service/update_manifest.h"

// "partial-<kind>-<sha256>.download": the one partial download of a kind
// ("update", "launcher") that the storage root keeps between runs.
std::filesystem::path PartialDownloadPath(const std::filesystem::path& root,
                                          const std::wstring& kind, const std::string& sha256);

// Removes the partial downloads of `kind` (and their validators) but `keep`,
// and `keep` too once it is older than a week.
void RemovePartialDownloads(const std::filesystem::path& root, const std::wstring& kind,
                            const std::filesystem::path& keep);

// Sweeps, under the installation lock, what a manifest just accepted no
// longer needs: every partial download of `kinds` whose digest is not in
// `kept`, and every validator, of any kind, whose partial file is gone. An
// entry that cannot be removed now (a scanner holds it) goes in a later sweep.
void SweepPartialDownloads(const std::filesystem::path& root,
                           const std::vector<std::wstring>& kinds,
                           const std::vector<std::string>& kept);

// An accepted launcher manifest: every partial launcher download but its own.
void SweepLauncherPartials(const std::filesystem::path& root, const std::string& sha256);

// An accepted game manifest: partial archives and patches but the archive's
// and that of the patch from the recorded build (empty when there is none).
void SweepGamePartials(const std::filesystem::path& root, const std::string& archiveSha256,
                       const std::string& patchSha256);

// Downloads the manifest's file to `destination` and checks its digest; a
// mismatch removes the file and fails with `mismatch`. When the manifest says
// its host serves byte ranges, the bytes gather in the storage root's partial
// download of `kind`, which a failed or killed run leaves for the next run to
// resume; the file reaches `destination` only once its digest has matched,
// renamed by the handle that read it. Returns a read-only handle to it that
// shares only reading: held until tar.exe has read the file, it keeps every
// other program from changing the checked bytes.
// Gives a file that DownloadVerifiedFile (with `keepValidator`) checked back
// to the storage root's partial download, beside its validator, so that the
// next run takes it whole without a byte from the network. Only when its host
// serves ranges (no validator otherwise); removed when it cannot go back.
void ReturnVerifiedDownload(const UpdateManifest& manifest, const std::filesystem::path& root,
                            const std::wstring& kind, const std::filesystem::path& file);

// The validator that ReturnVerifiedDownload would have needed, once the
// file it describes is in use for good.
void RemoveKeptValidator(const std::filesystem::path& root, const std::wstring& kind,
                         const std::string& sha256);

KernelHandle DownloadVerifiedFile(const UpdateManifest& manifest, const std::filesystem::path& root,
                                  const std::wstring& kind,
                                  const std::filesystem::path& destination, const char* mismatch,
                                  DownloadOptions options);

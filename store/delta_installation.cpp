#include "store/delta_installation.h"

#include <optional>

#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/parallel_work.h"
#include "base/text.h"
#include "service/digest.h"
#include "store/archive.h"
#include "format/delta_apply.h"
#include "store/held_file_bytes.h"
#include "store/tree_removal.h"
#include "format/zip_directory.h"

namespace fs = std::filesystem;

namespace {

constexpr char Unusable[] = "The delta patch is not usable";
constexpr char WriteFailure[] = "Could not write the updated file";

uint64_t Sum(uint64_t a, uint64_t b) {
    if (b > UINT64_MAX - a) throw LauncherError(Unusable);
    return a + b;
}

}  // namespace

DeltaInstallation::DeltaInstallation(HANDLE held, const BuildIndex& index, const fs::path& source) {
    const std::vector<ZipEntry> entries = ReadHeldZipDirectory(held);
    if (entries.empty()) throw LauncherError(Unusable);
    HeldFileRange zip(held, Unusable);
    operations_ = ParseDeltaOperations(ReadDeltaOperationsEntry(zip, entries.front()));
    CheckDeltaAgainstIndex(operations_, index);
    const DeltaPatchBytes bytes = CheckDeltaPatchEntries(entries, operations_, index);
    bytesWritten_ = Sum(bytes.literal, bytes.whole);
    for (const DeltaOutput& output : operations_.outputs) {
        bytesWritten_ = Sum(bytesWritten_, output.size);
        provided_.insert(IndexPathKey(output.path));
    }
    for (const ZipEntry& entry : entries) {
        if (!entry.isFolder && !HoldsDeltaFolderName(entry.name)) {
            provided_.insert(IndexPathKey(entry.name));
        }
    }
    // A stored file changed since its install, or one a running game holds,
    // makes the patch unusable before anything is written.
    for (const DeltaSource& stored : operations_.sources) {
        KernelHandle file = OpenLongPathFile(source / Utf8ToUtf16(stored.path), GENERIC_READ,
                                             FILE_SHARE_READ, OPEN_EXISTING);
        if (!file || OpenFileSize(file.get()) != stored.size) throw LauncherError(Unusable);
        sources_.push_back(std::move(file));
    }
    RunOnTwoThreads(sources_.size(), [this](size_t n) {
        if (Sha256OpenFileHex(sources_[n].get()) != operations_.sources[n].sha256) {
            throw LauncherError(Unusable);
        }
    });
}

void DeltaInstallation::Install(const fs::path& patch, const fs::path& literals,
                                const fs::path& unpacked, KnownDigests& known) {
    const std::wstring folder = Utf8ToUtf16(std::string(DeltaFolder));
    UnpackPatchParts(
        patch, {ArchivePart{unpacked, {L"--exclude", folder}}, ArchivePart{literals, {folder}}});
    std::vector<HeldFileRange> ranges;
    ranges.reserve(sources_.size());
    for (const KernelHandle& held : sources_) ranges.emplace_back(held.get(), Unusable);
    const auto source = [&ranges](uint32_t n) -> ByteRangeSource& { return ranges.at(n); };
    std::vector<std::string> digests(operations_.outputs.size());
    RunOnTwoThreads(operations_.outputs.size(), [&](size_t n) {
        const DeltaOutput& output = operations_.outputs[n];
        KernelHandle literal;
        std::optional<HeldFileStream> literalBytes;
        if (output.literalBytes != 0) {
            literal = OpenLongPathFile(literals / Utf8ToUtf16(LiteralEntryName(n)), GENERIC_READ,
                                       FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
            if (!literal) throw LauncherError(Unusable);
            literalBytes.emplace(literal.get(), Unusable);
        }
        const KernelHandle out =
            OpenLongPathFile(unpacked / Utf8ToUtf16(output.path), GENERIC_WRITE, 0, CREATE_ALWAYS);
        if (!out) throw LauncherError(WriteFailure);
        HashingFileSink sink(out.get(), WriteFailure);
        ApplyDeltaOutput(operations_, n, source, literalBytes ? &*literalBytes : nullptr, sink);
        digests[n] = sink.FinishHex();
        if (digests[n] != output.sha256) throw LauncherError(Unusable);
    });
    for (size_t n = 0; n < digests.size(); ++n) {
        known[IndexPathKey(operations_.outputs[n].path)] = digests[n];
    }
    TryRemoveTree(literals);
}

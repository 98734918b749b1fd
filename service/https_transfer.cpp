#include "service/https_transfer.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>

#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/scoped_handle.h"
#include "service/https_request.h"
#include "service/transfer_rules.h"

namespace fs = std::filesystem;

namespace {

constexpr char TooLargeSentence[] = "The update file is larger than expected";

ULONGLONG DeadlineAfter(std::uint32_t ms) { return GetTickCount64() + ms; }

// The reply's strong validator and length, kept beside a resumable file.
struct Validator {
    std::string entityTag;     // empty: the file cannot be resumed
    std::uint64_t length = 0;  // of the whole file
};

Validator ReadValidator(const fs::path& file) {
    Validator validator;
    std::istringstream in(ReadWholeFile(DownloadValidatorPath(file)).value_or(std::string()));
    if (!(in >> validator.entityTag >> validator.length) ||
        !IsStrongEntityTag(validator.entityTag)) {
        return {};
    }
    return validator;
}

void WriteValidator(const fs::path& file, const Validator& validator) {
    if (validator.entityTag.empty()) {
        RemoveFileAt(DownloadValidatorPath(file));
        return;
    }
    // A tag with a blank would not read back whole: such a file is not resumed.
    if (validator.entityTag.find_first_of(" \t\r\n") != std::string::npos) {
        return;
    }
    try {
        WriteWholeFile(DownloadValidatorPath(file),
                       validator.entityTag + '\n' + std::to_string(validator.length) + '\n',
                       "Could not save the update archive");
    } catch (const LauncherError&) {
        // Without its validator the file is downloaded afresh next time.
    }
}

std::uint64_t FileSize(const fs::path& file) {
    const std::optional<PathFacts> facts = ReadPathFacts(file);
    return facts ? facts->size : 0;
}

// One request of a download: from byte 0, or from the end of the partial file
// when it can be resumed. On return the file is whole.
void DownloadOnce(const CrackedAddress& target, const fs::path& file,
                  const DownloadOptions& options, Validator& validator, ULONGLONG totalDeadline) {
    const TransferBounds& bounds = ActiveTransferBounds();
    std::uint64_t offset = options.byteRanges && !validator.entityTag.empty() ? FileSize(file) : 0;
    if (offset > validator.length) {
        offset = 0;
    }
    if (offset > 0 && offset == validator.length) {
        return;  // whole already; the caller's digest check judges it
    }
    std::wstring headers;
    if (offset > 0) {
        headers = L"Range: bytes=" + std::to_wstring(offset) + L"-\r\nIf-Range: " +
                  std::wstring(validator.entityTag.begin(), validator.entityTag.end()) + L"\r\n";
    }
    Request request =
        OpenRequest(target, headers, std::min(DeadlineAfter(bounds.headersMs), totalDeadline));

    const DWORD status = request.Status();
    std::uint64_t total = validator.length;  // 0 while unknown
    if (offset > 0 && status == 206) {
        const auto range = ParseContentRange(request.Header(WINHTTP_QUERY_CONTENT_RANGE));
        if (!range || range->first != offset || range->total != validator.length) {
            // Not the rest of the same file: the next try starts over.
            validator = {};
            throw BrokenConnection(InterruptedSentence);
        }
    } else if (status == 200) {
        offset = 0;
        const std::string length = request.Header(WINHTTP_QUERY_CONTENT_LENGTH);
        char* end = nullptr;
        const unsigned long long announced = std::strtoull(length.c_str(), &end, 10);
        total = !length.empty() && *end == '\0' ? announced : 0;
        validator = {};
        if (options.byteRanges) {
            const std::string tag = request.Header(WINHTTP_QUERY_ETAG);
            if (IsStrongEntityTag(tag) && total != 0) {
                validator = {tag, total};
            }
            WriteValidator(file, validator);
        }
    } else if (offset > 0) {
        validator = {};
        throw BrokenConnection(InterruptedSentence);
    } else {
        throw LauncherError("The update service returned an error");
    }

    if (options.maxBytes != 0 && total > options.maxBytes) {
        throw LauncherError(TooLargeSentence);
    }
    if (options.replyLength) {
        options.replyLength(total > offset ? total - offset : 0, total);
    }
    // Written with WriteFile directly: the C runtime's stream layer halved the
    // download rate under Wine.
    KernelHandle out = OpenLongPathFile(file, GENERIC_WRITE, FILE_SHARE_READ,
                                        offset > 0 ? OPEN_EXISTING : CREATE_ALWAYS);
    if (!out) {
        throw LauncherError("Could not create the update archive");
    }
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(out.get(), position, nullptr, FILE_BEGIN) || !SetEndOfFile(out.get())) {
        throw LauncherError("Could not save the update archive");
    }

    request.LimitBodyWait(bounds.bodyReceiveMs);
    request.AllowLargeReads(total);
    std::uint64_t received = offset;
    StallWatch watch(bounds.rateWindowMs, bounds.rateWindowBytes, GetTickCount64());
    for (;;) {
        const std::string_view piece = request.Read(totalDeadline, &watch);
        if (piece.empty()) {
            break;
        }
        DWORD written = 0;
        const BOOL wrote =
            WriteFile(out.get(), piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr);
        if (!wrote || written != piece.size()) {
            // A file written only in part has met the end of the disk.
            const DWORD error = wrote ? ERROR_DISK_FULL : GetLastError();
            if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) {
                throw DiskSpaceError("Could not save the update archive");
            }
            throw LauncherError("Could not save the update archive");
        }
        received += piece.size();
        if (options.maxBytes != 0 && received > options.maxBytes) {
            throw LauncherError(TooLargeSentence);
        }
        watch.Record(GetTickCount64(), received - offset);
        if (options.progress) {
            options.progress(received, total);
        }
    }
    // Wine reads a connection closed early as a whole, shorter body.
    if (options.byteRanges && total != 0 && received != total) {
        throw BrokenConnection(InterruptedSentence);
    }
}

}  // namespace

fs::path DownloadValidatorPath(const fs::path& file) { return file.wstring() + L".validator"; }

void HttpsDownload(const std::wstring& address, const fs::path& file,
                   const DownloadOptions& options) {
    const CrackedAddress target = CrackHttpsAddress(address);
    const TransferBounds& bounds = ActiveTransferBounds();
    const ULONGLONG totalDeadline =
        options.totalMs == 0 ? NoDeadline : DeadlineAfter(options.totalMs);
    Validator validator = options.byteRanges ? ReadValidator(file) : Validator{};
    const auto resumable = [&] { return validator.entityTag.empty() ? 0 : FileSize(file); };
    ResumeBudget budget;
    for (bool first = true;; first = false) {
        const std::uint64_t before = resumable();
        try {
            DownloadOnce(target, file, options, validator, totalDeadline);
            if (options.byteRanges && !options.keepValidator) {
                RemoveFileAt(DownloadValidatorPath(file));
            }
            return;
        } catch (const LauncherError& failure) {
            // A break is tried again; so is a service that cannot be reached
            // again after one. A stall is not: the line is too poor for now.
            const bool broken = dynamic_cast<const BrokenConnection*>(&failure) != nullptr;
            const bool unreachableAgain =
                !first && std::string_view(failure.what()) == UnreachableSentence;
            if (!options.byteRanges || !(broken || unreachableAgain)) {
                throw;
            }
        }
        const std::uint64_t after = resumable();
        const auto pause = budget.NextPause(after > before ? after - before : 0, bounds);
        if (!pause || GetTickCount64() + *pause >= totalDeadline) {
            throw LauncherError(InterruptedSentence);
        }
        Sleep(*pause);
    }
}

void HttpsGet(const std::wstring& address, std::string* body, const fs::path* file) {
    if (file != nullptr) {
        HttpsDownload(address, *file, {});
        return;
    }
    const CrackedAddress target = CrackHttpsAddress(address);
    const ULONGLONG deadline = DeadlineAfter(ActiveTransferBounds().manifestMs);
    Request request = OpenRequest(target, L"", deadline);
    if (request.Status() != 200) {
        throw LauncherError("The update service returned an error");
    }
    for (;;) {
        const std::string_view piece = request.Read(deadline, nullptr);
        if (piece.empty()) {
            break;
        }
        if (body != nullptr) {
            if (body->size() + piece.size() > ManifestTextLimit) {
                throw LauncherError("The update manifest is unexpectedly large");
            }
            body->append(piece);
        }
    }
}

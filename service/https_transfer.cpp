#include "service/https_transfer.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/launcher_error.h"
#include "base/long_path_files.h"
#include "base/scoped_handle.h"
#include "service/transfer_rules.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t UserAgent[] = L"TessikLauncher/2 (native Windows)";
constexpr DWORD TransferBufferSize = 65536;
constexpr ULONGLONG NoDeadline = std::numeric_limits<ULONGLONG>::max();
constexpr char StalledSentence[] = "The update service stopped sending data";
constexpr char InterruptedSentence[] = "The update download was interrupted";
constexpr char TooLargeSentence[] = "The update file is larger than expected";
constexpr char UnreachableSentence[] = "The update service could not be reached";

// A connection that broke under way; a resumable download tries again.
class BrokenConnection : public LauncherError {
  public:
    using LauncherError::LauncherError;
};

struct CrackedAddress {
    std::wstring host;
    INTERNET_PORT port = INTERNET_DEFAULT_HTTPS_PORT;
    std::wstring path;  // path and query, as written
};

CrackedAddress CrackHttpsAddress(const std::wstring& address) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(address.c_str(), static_cast<DWORD>(address.size()), 0, &parts) ||
        parts.nScheme != INTERNET_SCHEME_HTTPS) {
        throw LauncherError("The update URL is invalid or insecure");
    }
    CrackedAddress cracked;
    cracked.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    cracked.port = parts.nPort;
    cracked.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.dwExtraInfoLength > 0) {
        cracked.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    if (cracked.path.empty()) {
        cracked.path = L"/";
    }
    return cracked;
}

// What WinHTTP's status callback hands the waiting thread. A synchronous
// WinHTTP call cannot be cut short (and Wine does not bound the wait for
// headers at all), so requests run in asynchronous mode, where closing the
// request handle ends one that is still pending. WinHTTP may call back after
// that, until its last callback for the handle: this record lives until then.
struct Completion {
    KernelHandle signal{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    DWORD status = 0;  // the WINHTTP_CALLBACK_STATUS_ that arrived
    DWORD bytes = 0;   // of a finished read
    std::vector<char> buffer = std::vector<char>(TransferBufferSize, '\0');
};

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD length) {
    auto* owner = reinterpret_cast<std::shared_ptr<Completion>*>(context);
    if (owner == nullptr) {
        return;
    }
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            (*owner)->bytes = length;
            [[fallthrough]];
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            (*owner)->status = status;
            SetEvent((*owner)->signal.get());
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            delete owner;
            break;
        default:
            break;
    }
}

// One asynchronous GET. Every wait ends at a deadline; leaving the object
// closes the request, which cancels whatever is still pending.
class Request {
  public:
    Request(const CrackedAddress& target, const std::wstring& headers, ULONGLONG deadline) {
        session_.reset(WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                   WINHTTP_FLAG_ASYNC));
        if (!session_) {
            throw LauncherError("Could not initialize the Windows HTTPS service");
        }
        WinHttpSetTimeouts(session_.get(), 15000, 15000, 20000, 60000);
        connection_.reset(WinHttpConnect(session_.get(), target.host.c_str(), target.port, 0));
        if (!connection_) {
            throw LauncherError("Could not connect to the update service");
        }
        request_.reset(WinHttpOpenRequest(connection_.get(), L"GET", target.path.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          WINHTTP_FLAG_SECURE));
        if (!request_ || !completion_->signal) {
            throw LauncherError(UnreachableSentence);
        }
        // From here WinHTTP holds a share of the record until the handle is gone.
        auto owner = std::make_unique<std::shared_ptr<Completion>>(completion_);
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(owner.get());
        if (!WinHttpSetOption(request_.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context,
                              sizeof(context))) {
            throw LauncherError(UnreachableSentence);
        }
        owner.release();
        if (WinHttpSetStatusCallback(
                request_.get(), OnRequestStatus,
                WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                0) == WINHTTP_INVALID_STATUS_CALLBACK) {
            throw LauncherError(UnreachableSentence);
        }
        const wchar_t* extra = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
        if (!WinHttpSendRequest(request_.get(), extra, static_cast<DWORD>(headers.size()),
                                WINHTTP_NO_REQUEST_DATA, 0, 0, context) ||
            Await(deadline) != WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE ||
            !WinHttpReceiveResponse(request_.get(), nullptr) ||
            Await(deadline) != WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE) {
            throw LauncherError(UnreachableSentence);
        }
    }

    DWORD Status() const {
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (!WinHttpQueryHeaders(
                request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            return 0;
        }
        return status;
    }

    // A reply header as ASCII text; empty when absent.
    std::string Header(DWORD query) const {
        wchar_t text[512];
        DWORD size = sizeof(text);
        if (!WinHttpQueryHeaders(request_.get(), query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                                 WINHTTP_NO_HEADER_INDEX)) {
            return {};
        }
        std::string ascii;
        for (DWORD i = 0; i < size / sizeof(wchar_t); ++i) {
            ascii.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
        }
        return ascii;
    }

    // The next piece of the body (empty at its end). `watch`, when given,
    // fails the read once the line has stalled; the deadline always does.
    std::string_view Read(ULONGLONG deadline, const StallWatch* watch) {
        // Judged before every read too: Windows completes a read with whatever
        // has arrived, so a trickle never leaves a wait unanswered.
        if (Late(deadline, watch)) {
            throw LauncherError(StalledSentence);
        }
        if (!WinHttpReadData(request_.get(), completion_->buffer.data(), TransferBufferSize,
                             nullptr)) {
            throw BrokenConnection(InterruptedSentence);
        }
        for (;;) {
            // Looked at once a second: the rate is judged over a whole window.
            const ULONGLONG now = GetTickCount64();
            const ULONGLONG until = std::min(deadline, now + 1000);
            const DWORD status = Await(until);
            if (status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE) {
                return std::string_view(completion_->buffer.data(), completion_->bytes);
            }
            if (status != 0) {
                throw BrokenConnection(InterruptedSentence);
            }
            if (Late(deadline, watch)) {
                throw LauncherError(StalledSentence);
            }
        }
    }

  private:
    static bool Late(ULONGLONG deadline, const StallWatch* watch) {
        const ULONGLONG now = GetTickCount64();
        return now >= deadline || (watch != nullptr && watch->Stalled(now));
    }

    // The callback status that arrived, or 0 when the deadline came first.
    DWORD Await(ULONGLONG deadline) {
        const ULONGLONG now = GetTickCount64();
        if (deadline != NoDeadline && now >= deadline) {
            return 0;
        }
        const DWORD wait =
            deadline == NoDeadline
                ? INFINITE
                : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
        if (WaitForSingleObject(completion_->signal.get(), wait) != WAIT_OBJECT_0) {
            return 0;
        }
        return completion_->status;
    }

    std::shared_ptr<Completion> completion_ = std::make_shared<Completion>();
    WinHttpHandle session_;
    WinHttpHandle connection_;
    WinHttpHandle request_;  // declared last: closed first
};

// Headers that arrive after the deadline are a stall like any other; without
// this, a service that holds its headers would read as unreachable.
Request OpenRequest(const CrackedAddress& target, const std::wstring& headers, ULONGLONG deadline) {
    try {
        return Request(target, headers, deadline);
    } catch (const LauncherError&) {
        if (GetTickCount64() >= deadline) {
            throw LauncherError(StalledSentence);
        }
        throw;
    }
}

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
            if (options.byteRanges) {
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

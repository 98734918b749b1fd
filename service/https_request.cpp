#include "service/https_request.h"

#include <algorithm>
#include <memory>

namespace {

constexpr wchar_t UserAgent[] = L"TessikLauncher/2 (native Windows)";
// Reads start at 64 KiB and double, up to the limit AllowLargeReads sets,
// while each comes back full within ReadQuickMs: every read is one round trip
// through WinHTTP's thread, and under Wine a download in 1 MiB reads ran at
// about 0.85 of a synchronous loop's rate, in 4 MiB reads at about 0.95.
// A read slower than ReadSlowMs starts again small, so that on a slow line the
// stall watch sees the bytes arrive. (Wine completes a read only when it is
// full, and drops what it holds when the connection breaks.)
constexpr DWORD SmallestRead = 65536;
constexpr DWORD LargestRead = 4194304;
constexpr ULONGLONG ReadQuickMs = 100;
constexpr ULONGLONG ReadSlowMs = 500;

// WinHTTP's receive timeout: Windows reports its own code, Wine the
// socket's (WSAETIMEDOUT).
bool TimedOut(DWORD error) { return error == ERROR_WINHTTP_TIMEOUT || error == 10060; }

bool Late(ULONGLONG deadline, const StallWatch* watch) {
    const ULONGLONG now = GetTickCount64();
    return now >= deadline || (watch != nullptr && watch->Stalled(now));
}

}  // namespace

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

// What WinHTTP's status callback hands the waiting thread. WinHTTP may call
// back after the request handle is closed, until its last callback for the
// handle: this record lives until then.
struct Completion {
    KernelHandle signal{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    DWORD status = 0;  // the WINHTTP_CALLBACK_STATUS_ that arrived
    DWORD bytes = 0;   // of a finished read
    DWORD error = 0;   // of a failed one
    // WinHTTP fills one while the caller stores the other. Grown with the
    // reads and left uninitialised, so that a manifest touches 128 KiB of
    // memory, not the 8 MiB of a large download's reads.
    std::unique_ptr<char[]> buffers[2];
    DWORD sizes[2] = {0, 0};

    char* BufferFor(int which, DWORD size) {
        if (sizes[which] < size) {
            buffers[which].reset(new char[size]);
            sizes[which] = size;
        }
        return buffers[which].get();
    }
};

namespace {

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information,
                              DWORD length) {
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
            (*owner)->status = status;
            SetEvent((*owner)->signal.get());
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            (*owner)->error = static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError;
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

}  // namespace

Request::Request(const CrackedAddress& target, const std::wstring& headers, ULONGLONG deadline)
    : completion_(std::make_shared<Completion>()) {
    session_.reset(WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
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
    // WinHTTP holds a share of the record once both calls have succeeded,
    // until the handle is gone; until then it is ours to free.
    auto owner = std::make_unique<std::shared_ptr<Completion>>(completion_);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(owner.get());
    if (!WinHttpSetOption(request_.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context,
                          sizeof(context)) ||
        WinHttpSetStatusCallback(
            request_.get(), OnRequestStatus,
            WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
            0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        throw LauncherError(UnreachableSentence);
    }
    owner.release();
    const wchar_t* extra = headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str();
    if (!WinHttpSendRequest(request_.get(), extra, static_cast<DWORD>(headers.size()),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, context) ||
        Await(deadline) != WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE ||
        !WinHttpReceiveResponse(request_.get(), nullptr) ||
        Await(deadline) != WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE) {
        throw LauncherError(UnreachableSentence);
    }
}

DWORD Request::Status() const {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return status;
}

std::string Request::Header(DWORD query) const {
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

void Request::AllowLargeReads(std::uint64_t total) {
    largestRead_ =
        static_cast<DWORD>(std::clamp<std::uint64_t>(total / 64, SmallestRead, LargestRead));
}

void Request::LimitBodyWait(std::uint32_t receiveMs) {
    WinHttpSetTimeouts(request_.get(), 15000, 15000, 20000, static_cast<int>(receiveMs));
}

std::string_view Request::Read(ULONGLONG deadline, const StallWatch* watch) {
    if (!reading_) {
        StartRead();
    }
    for (;;) {
        // Judged before every wait: Windows completes a read with whatever
        // has arrived, so a trickle never leaves a wait unanswered.
        if (Late(deadline, watch)) {
            throw LauncherError(StalledSentence);
        }
        // Looked at once a second: the rate is judged over a whole window.
        const DWORD status = Await(std::min(deadline, GetTickCount64() + 1000));
        if (status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE) {
            const std::string_view piece(completion_->buffers[filling_].get(), completion_->bytes);
            reading_ = false;
            const ULONGLONG took = GetTickCount64() - readStarted_;
            if (piece.size() == readSize_ && took < ReadQuickMs) {
                readSize_ = std::max(std::min(readSize_ * 2, largestRead_), SmallestRead);
            } else if (took > ReadSlowMs) {
                readSize_ = SmallestRead;
            }
            if (!piece.empty()) {
                // The next piece arrives while the caller stores this one.
                filling_ ^= 1;
                StartRead();
            }
            return piece;
        }
        if (status != 0) {
            if (watch != nullptr && TimedOut(completion_->error)) {
                throw LauncherError(StalledSentence);
            }
            throw BrokenConnection(InterruptedSentence);
        }
    }
}

// A failure to start is raised by the Read that would wait for it, so the
// piece already read still reaches the caller.
void Request::StartRead() {
    reading_ = true;
    readStarted_ = GetTickCount64();
    char* buffer = completion_->BufferFor(filling_, readSize_);
    if (!reads_) {
        reads_ = std::make_unique<ReadStarter>([completion = completion_](DWORD error) {
            completion->error = error;
            completion->status = WINHTTP_CALLBACK_STATUS_REQUEST_ERROR;
            SetEvent(completion->signal.get());
        });
    }
    reads_->Start(request_.get(), buffer, readSize_);
}

Request::~Request() {
    if (reads_) {
        reads_->Finish(std::move(request_));
    }
}

// The callback status that arrived, or 0 when the deadline came first.
DWORD Request::Await(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (deadline != NoDeadline && now >= deadline) {
        return 0;
    }
    const DWORD wait = deadline == NoDeadline
                           ? INFINITE
                           : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
    if (WaitForSingleObject(completion_->signal.get(), wait) != WAIT_OBJECT_0) {
        return 0;
    }
    return completion_->status;
}

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

#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "base/launcher_error.h"
#include "base/scoped_handle.h"
#include "service/read_starter.h"
#include "service/transfer_rules.h"

// One asynchronous WinHTTP GET and the sentences its failures raise, apart
// from what a download does with the body.

inline constexpr ULONGLONG NoDeadline = std::numeric_limits<ULONGLONG>::max();
inline constexpr char StalledSentence[] = "The update service stopped sending data";
inline constexpr char InterruptedSentence[] = "The update download was interrupted";
inline constexpr char UnreachableSentence[] = "The update service could not be reached";

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

// Raises "The update URL is invalid or insecure" for anything but an HTTPS address.
CrackedAddress CrackHttpsAddress(const std::wstring& address);

struct Completion;

// One asynchronous GET, its headers received. Every wait ends at a deadline;
// leaving the object closes the request, which cancels whatever is still
// pending. A synchronous WinHTTP call cannot be cut short (and Wine does not
// bound the wait for headers at all).
class Request {
  public:
    Request(const CrackedAddress& target, const std::wstring& headers, ULONGLONG deadline);
    Request(Request&&) = default;
    ~Request();

    DWORD Status() const;

    // A reply header as ASCII text; empty when absent.
    std::string Header(DWORD query) const;

    // Lets reads grow for a body of `total` bytes (0: unknown), to at most a
    // 64th of it, so that a broken connection (which under Wine loses the
    // read under way) costs little to fetch again.
    void AllowLargeReads(std::uint64_t total);

    // How long WinHTTP waits for each piece of the body from here on. Below
    // the stall window, so that a quiet line is judged a stall, not a break.
    void LimitBodyWait(std::uint32_t receiveMs);

    // The next piece of the body (empty at its end), valid until the next
    // call; the piece after it is already on its way. `watch`, when given,
    // fails the read once the line has stalled (WinHTTP's receive timeout
    // included); the deadline always does.
    std::string_view Read(ULONGLONG deadline, const StallWatch* watch);

  private:
    void StartRead();
    DWORD Await(ULONGLONG deadline);

    std::shared_ptr<Completion> completion_;
    int filling_ = 0;         // the buffer WinHTTP reads into
    DWORD readSize_ = 65536;  // of the next read
    DWORD largestRead_ = 65536;
    ULONGLONG readStarted_ = 0;
    bool reading_ = false;
    WinHttpHandle session_;
    WinHttpHandle connection_;
    WinHttpHandle request_;  // declared last: closed first
    // Made at the first read; from then on it closes the request.
    std::unique_ptr<ReadStarter> reads_;
};

// A Request whose headers arrive after the deadline fails as a stall like any
// other; without this, a service that holds its headers would read as
// unreachable.
Request OpenRequest(const CrackedAddress& target, const std::wstring& headers, ULONGLONG deadline);

#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <utility>

// The rules of a download that survives a bad network, apart from the calls
// that move the bytes.

// How long an exchange may take and how slow a download may get.
struct TransferBounds {
    std::uint32_t manifestMs;       // a whole manifest exchange, from the request on
    std::uint32_t headersMs;        // the reply's headers of a download
    std::uint32_t bodyReceiveMs;    // WinHTTP's wait for each piece of a download's body
    std::uint32_t rateWindowMs;     // a download fails when fewer than
    std::uint64_t rateWindowBytes;  // these bytes arrived in the last window
    std::uint32_t launcherTotalMs;  // the launcher's own download, whole
    std::uint32_t retryPauseMs[4];  // before the 1st, 2nd, 3rd and later resumes
};

// The bounds the launcher runs with. Defined alone in its own file, so that a
// test program can link shorter ones in its place.
const TransferBounds& ActiveTransferBounds();

// Watches the bytes of one reply body: stalled once a whole window has passed
// with fewer than the minimum bytes arriving in it.
class StallWatch {
  public:
    StallWatch(std::uint32_t windowMs, std::uint64_t minimumBytes, std::uint64_t startMs);
    void Record(std::uint64_t nowMs, std::uint64_t receivedBytes);
    bool Stalled(std::uint64_t nowMs) const;

  private:
    std::uint32_t windowMs_;
    std::uint64_t minimumBytes_;
    std::uint64_t startMs_;
    std::uint64_t received_ = 0;
    // (time, bytes received by then), about one a second; the first one is the
    // latest at or before the window's start once a window has passed.
    std::deque<std::pair<std::uint64_t, std::uint64_t>> samples_;
};

// "bytes first-last/total" of a 206 reply; nullopt for any other form
// (an unknown total "*" included: a resume must name the same total).
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
};
std::optional<ContentRange> ParseContentRange(std::string_view header);

// If-Range may only carry a strong validator: a quoted ETag without "W/".
bool IsStrongEntityTag(std::string_view tag);

// When a broken download is tried again: after 5 tries in a row that each
// brought less than 1 MiB, or after 20 tries in all, it is given up.
class ResumeBudget {
  public:
    // The pause before the next try after one that brought `gainedBytes`, or
    // nullopt when no try is left.
    std::optional<std::uint32_t> NextPause(std::uint64_t gainedBytes, const TransferBounds& bounds);

  private:
    int tries_ = 1;
    int poorInARow_ = 0;
};

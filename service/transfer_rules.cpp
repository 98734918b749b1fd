#include "service/transfer_rules.h"

#include <algorithm>
#include <charconv>

StallWatch::StallWatch(std::uint32_t windowMs, std::uint64_t minimumBytes, std::uint64_t startMs)
    : windowMs_(windowMs), minimumBytes_(minimumBytes), startMs_(startMs) {
    samples_.emplace_back(startMs, 0);
}

void StallWatch::Record(std::uint64_t nowMs, std::uint64_t receivedBytes) {
    received_ = receivedBytes;
    if (nowMs - samples_.back().first < 1000) {
        samples_.back().second = receivedBytes;
    } else {
        samples_.emplace_back(nowMs, receivedBytes);
    }
    // Keep one sample at or before the window's start: it is the base.
    while (samples_.size() > 1 && nowMs >= windowMs_ && samples_[1].first <= nowMs - windowMs_) {
        samples_.pop_front();
    }
}

bool StallWatch::Stalled(std::uint64_t nowMs) const {
    if (nowMs - startMs_ < windowMs_) {
        return false;
    }
    // The base: the latest sample at or before the window's start. It may be
    // up to a second older than that, so a line at the limit is judged
    // slightly kindly, never harshly.
    std::uint64_t base = samples_.front().second;
    for (const auto& [at, received] : samples_) {
        if (at > nowMs - windowMs_) {
            break;
        }
        base = received;
    }
    return received_ - base < minimumBytes_;
}

namespace {

std::optional<std::uint64_t> Number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<ContentRange> ParseContentRange(std::string_view header) {
    constexpr std::string_view unit = "bytes ";
    if (header.substr(0, unit.size()) != unit) {
        return std::nullopt;
    }
    header.remove_prefix(unit.size());
    const size_t dash = header.find('-');
    const size_t slash = header.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) {
        return std::nullopt;
    }
    const auto first = Number(header.substr(0, dash));
    const auto last = Number(header.substr(dash + 1, slash - dash - 1));
    const auto total = Number(header.substr(slash + 1));
    if (!first || !last || !total || *first > *last || *last >= *total) {
        return std::nullopt;
    }
    return ContentRange{*first, *last, *total};
}

bool IsStrongEntityTag(std::string_view tag) {
    return tag.size() >= 2 && tag.front() == '"' && tag.back() == '"' &&
           std::find(tag.begin() + 1, tag.end() - 1, '"') == tag.end() - 1;
}

std::optional<std::uint32_t> ResumeBudget::NextPause(std::uint64_t gainedBytes,
                                                     const TransferBounds& bounds) {
    constexpr std::uint64_t PoorTry = 1048576;
    poorInARow_ = gainedBytes < PoorTry ? poorInARow_ + 1 : 0;
    if (poorInARow_ >= 5 || tries_ >= 20) {
        return std::nullopt;
    }
    ++tries_;
    // Pauses grow while tries bring little and start again after a good one.
    return bounds.retryPauseMs[std::min(std::max(poorInARow_, 1), 4) - 1];
}

#pragma once

#include <optional>
#include <string_view>

// The number of stored builds to keep, as the "keep_builds" key writes it:
// decimal digits without a sign or leading zero, from 1 to 999. Anything else
// is no number, and every build is kept. No Windows calls.
inline std::optional<unsigned> ParseKeepBuilds(std::string_view text) {
    if (text.empty() || text.size() > 3 || text.front() == '0') return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

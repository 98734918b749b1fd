#pragma once

#include <optional>
#include <string>
#include <string_view>

// UTF-8 as both programs read and write it: the shortest form only, no
// surrogate halves, nothing past U+10FFFF. No Windows calls; the launcher's
// UTF-16 conversions are in base/text.h.

// The code point that starts at `at`, moving `at` past it; nullopt (and `at`
// unmoved) for a byte that does not start valid UTF-8.
std::optional<char32_t> DecodeUtf8(std::string_view text, size_t& at);

// Appends one code point (at most U+10FFFF, no surrogate half).
void AppendUtf8(std::string& out, char32_t point);

bool IsValidUtf8(std::string_view text);

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Hex as every format here writes it: lowercase, high half of each byte first.
std::string LowerHex(const unsigned char* bytes, size_t count);

// 0 to 15 for a hex digit of either case, -1 for anything else.
int HexDigitValue(char digit);

// Reads exactly `count` bytes from 2 * `count` hex digits of either case;
// false for any other text.
bool DecodeHex(std::string_view hex, unsigned char* bytes, size_t count);

// A SHA-256 as manifests, indexes and file names hold it: 64 lowercase digits.
bool IsSha256Hex(std::string_view text);

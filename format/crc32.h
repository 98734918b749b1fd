#pragma once

#include <cstdint>
#include <string_view>

// The zip's CRC-32 (IEEE, reflected). Continue a running value by passing it
// back in: Crc32(b, Crc32(a)) is the CRC of a then b.
uint32_t Crc32(std::string_view bytes, uint32_t running = 0);

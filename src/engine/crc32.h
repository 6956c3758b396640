#pragma once
#include <cstddef>
#include <cstdint>

namespace morla::engine {

// CRC-32 (IEEE 802.3, reflected, as zlib computes it).
uint32_t crc32(const uint8_t* data, size_t size);

}  // namespace morla::engine

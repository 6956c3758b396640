#pragma once
#include <cstddef>
#include <cstdint>

namespace morla::engine {

// CRC-32C (Castagnoli, reflected, as iSCSI and ext4 compute it). Uses the SSE4.2 crc32
// instruction where the processor has it, a table otherwise; both give the same value.
uint32_t crc32c(const uint8_t* data, size_t size);

// The table version alone, so that the two can be compared.
uint32_t crc32c_portable(const uint8_t* data, size_t size);

}  // namespace morla::engine

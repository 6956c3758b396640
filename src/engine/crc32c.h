#pragma once
#include <cstddef>
#include <cstdint>

namespace morla::engine {

// CRC-32C (Castagnoli, reflected, as iSCSI and ext4 compute it), by the fastest way the
// processor has: carry-less multiplication folding 256 bytes at a time (AVX-512
// VPCLMULQDQ), else three interleaved streams of the SSE4.2 crc32 instruction (joined by a
// carry-less product where the processor has PCLMULQDQ, else bit by bit), else a table. All
// give the same value.
uint32_t crc32c(const uint8_t* data, size_t size);

// Each way alone, so that they can be compared; a way the processor lacks is not run
// (crc32c_supports says which it has).
enum class Crc32cWay { table, instruction, instruction_clmul, folding };
bool crc32c_supports(Crc32cWay way);
uint32_t crc32c_by(Crc32cWay way, const uint8_t* data, size_t size);

// The table version alone.
uint32_t crc32c_portable(const uint8_t* data, size_t size);

}  // namespace morla::engine

#pragma once
// Layer variables turned into NP data blocks: raw byte images, the merge-shift bytes of an
// Add, and the activation look-up tables.
#include <cstdint>
#include <vector>

#include "engine_api/tensor.h"

namespace morla::v2 {

// Bytes first .. first + count - 1 of a uint8 tensor, four per word (first byte lowest), in
// 2 x ceil(count / 8) zero-filled words; count 0 means the tensor's element count. A range
// past the tensor's end throws std::runtime_error.
std::vector<uint32_t> copy_tensor_bytes(const Tensor& tensor, uint32_t first, uint32_t count);
std::vector<uint32_t> copy_tensor_bytes(const Tensor& tensor);

// One byte per element first .. first + count - 1 of the Add shifts a (uint8), b (uint8)
// and the output shift c (int8): bit 7 set when a <= b, bits 4-6 max(a, b) + c as 3-bit two's
// complement, bits 0-3 |a - b|. Out-of-range values panic.
std::vector<uint32_t> pack_weights(const Tensor& a, const Tensor& b, const Tensor& c,
                                   uint32_t first, uint32_t count);

// 2048 (or 2049, the last ignored) int32 entries as 14-bit pairs in 1024 words.
std::vector<uint32_t> pack_activation_lut_pairs(const Tensor& lut);
// Exactly 2048 int32 entries, one 14-bit entry per word.
std::vector<uint32_t> pack_activation_lut(const Tensor& lut);

}  // namespace morla::v2

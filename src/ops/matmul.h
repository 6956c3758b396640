#pragma once
// Batched integer matrix product.
#include <cstdint>
#include <memory>

#include "engine_api/tensor.h"

namespace morla::ops {

// out[i][j][n] = clip(Σ_k a[i][j][k] * B_i[k][n], bits), 64-bit products and sums, saturated
// to int32. a int32 (A0, A1, K); b int32, or int8/int4, shaped (A0, K, N) or (A0, N, K) when
// transpose_b, or 2-D (K, N) / (N, K), one matrix reused for every batch. Other types throw
// std::runtime_error "The matmul op requires 'a' to be int32 and 'b' to be int32, int8 or
// int4."
std::shared_ptr<Dense> matmul(const Dense& a, const Dense& b, int32_t bits, bool transpose_b);

}  // namespace morla::ops

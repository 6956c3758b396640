#pragma once
// 512-bit vector operations for the blocked loops. Included only after a
// `#pragma GCC target` that enables at least AVX-512 F and BW.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "ops/blocked_kernels.h"

namespace morla::ops::kernels {
namespace {  // each per-ISA file gets its own copy

struct Avx512Vectors {
  using reg = __m512i;
  static constexpr size_t kLanes = kAvx512Block.lanes;
  static constexpr size_t kPositions = kAvx512Block.positions;
  static reg zero() { return _mm512_setzero_si512(); }
  static reg load(const uint32_t* p) { return _mm512_loadu_si512(p); }
  static reg broadcast(uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }
  static void store(uint32_t* p, reg r) { _mm512_storeu_si512(p, r); }
  // The first `count` lanes (count < 16).
  static void store_partial(uint32_t* p, reg r, size_t count) {
    _mm512_mask_storeu_epi32(p, static_cast<__mmask16>((1u << count) - 1), r);
  }
  static reg sub(reg a, reg b) { return _mm512_sub_epi32(a, b); }
  static reg min(reg a, reg b) { return _mm512_min_epi32(a, b); }
  static reg max(reg a, reg b) { return _mm512_max_epi32(a, b); }
  static reg mul_add_words(reg acc, reg a, reg b) {
    return _mm512_add_epi32(acc, _mm512_mullo_epi32(a, b));
  }
};

}  // namespace
}  // namespace morla::ops::kernels

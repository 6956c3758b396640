// The blocked loops on 256-bit vectors.
#include "ops/blocked_kernels.h"

#ifdef MORLA_X86_KERNELS
#include <immintrin.h>

#include <array>
#include <utility>

#define MORLA_TARGET "avx2"
#include "ops/target_begin.h"
#include "ops/blocked_loops.h"

namespace morla::ops::kernels {

namespace {

struct Avx2 {
  using reg = __m256i;
  static constexpr size_t kLanes = kAvx2Block.lanes;
  static constexpr size_t kPositions = kAvx2Block.positions;
  static reg zero() { return _mm256_setzero_si256(); }
  static reg load(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const reg*>(p)); }
  static reg broadcast(uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
  static void store(uint32_t* p, reg r) { _mm256_storeu_si256(reinterpret_cast<reg*>(p), r); }
  // The first `count` lanes (count < 8).
  static void store_partial(uint32_t* p, reg r, size_t count) {
    const reg lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const reg mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lanes);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(p), mask, r);
  }
  static reg sub(reg a, reg b) { return _mm256_sub_epi32(a, b); }
  static reg min(reg a, reg b) { return _mm256_min_epi32(a, b); }
  static reg max(reg a, reg b) { return _mm256_max_epi32(a, b); }
  static reg mul_add_words(reg acc, reg a, reg b) {
    return _mm256_add_epi32(acc, _mm256_mullo_epi32(a, b));
  }
  template <Packing K>
  static reg dot(reg acc, reg x, reg w) {
    if constexpr (K == Packing::words)
      return mul_add_words(acc, x, w);
    else
      return _mm256_add_epi32(acc, _mm256_madd_epi16(x, w));
  }
};

}  // namespace

void correlate_avx2(const PackedCorrelation& problem, Packing packing) {
  if (packing == Packing::words)
    correlate_packed<Avx2, Packing::words>(problem);
  else
    correlate_packed<Avx2, Packing::pairs>(problem);
}

void depthwise_avx2(const PackedDepthwise& problem) { depthwise<Avx2>(problem); }

}  // namespace morla::ops::kernels

#include "ops/target_end.h"
#endif

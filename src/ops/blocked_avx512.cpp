// The blocked loops on 512-bit vectors, with and without the dot-product instructions.
// The two sets are separate files so that nothing compiled for the plain AVX-512 path can
// pick up a VNNI instruction.
#include "ops/blocked_kernels.h"

#ifdef MORLA_X86_KERNELS
#include <immintrin.h>

#include <array>
#include <utility>

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw")
// GCC 12 takes the _mm512_undefined_epi32() inside its own widening intrinsics for a read
// of an uninitialised value.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "ops/avx512_vectors.h"
#include "ops/blocked_loops.h"

namespace morla::ops::kernels {

namespace {

struct Avx512 : Avx512Vectors {
  template <Packing K> static reg dot(reg acc, reg x, reg w) {
    if constexpr (K == Packing::words) return mul_add_words(acc, x, w);
    else return _mm512_add_epi32(acc, _mm512_madd_epi16(x, w));
  }
};

}  // namespace

void correlate_avx512(const PackedCorrelation& problem, Packing packing) {
  if (packing == Packing::words) correlate_packed<Avx512, Packing::words>(problem);
  else correlate_packed<Avx512, Packing::pairs>(problem);
}

void depthwise_avx512(const PackedDepthwise& problem) { depthwise<Avx512>(problem); }

namespace {

__m512i widen(const int32_t* p) {
  return _mm512_cvtepi32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
__m512i widen(const int8_t* p) {
  return _mm512_cvtepi8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// Eight rows of b per pass over the sums, so that each sum is loaded and stored once per
// eight products; b is read once, row after row.
template <typename B>
void gemv_rows(const int32_t* a, const B* b, size_t k_count, size_t n_count, uint64_t* acc) {
  constexpr size_t kRows = 8;
  for (size_t n = 0; n < n_count; ++n) acc[n] = 0;
  for (size_t k0 = 0; k0 < k_count; k0 += kRows) {
    const size_t rows = smaller(kRows, k_count - k0);
    __m512i factors[kRows];
    for (size_t i = 0; i < kRows; ++i) factors[i] = _mm512_set1_epi64(i < rows ? a[k0 + i] : 0);
    const B* first = b + k0 * n_count;
    size_t n = 0;
    if (rows == kRows) {
      for (; n + 8 <= n_count; n += 8) {
        __m512i sum = _mm512_loadu_si512(acc + n);
#pragma GCC unroll 8
        for (size_t i = 0; i < kRows; ++i)
          sum = _mm512_add_epi64(sum, _mm512_mul_epi32(factors[i], widen(first + i * n_count + n)));
        _mm512_storeu_si512(acc + n, sum);
      }
    }
    for (; n < n_count; ++n)
      for (size_t i = 0; i < rows; ++i)
        acc[n] += static_cast<uint64_t>(int64_t{a[k0 + i]} * int64_t{first[i * n_count + n]});
  }
}

}  // namespace

void gemv_avx512(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count,
                 uint64_t* acc) {
  gemv_rows(a, b, k_count, n_count, acc);
}

void gemv_avx512(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count,
                 uint64_t* acc) {
  gemv_rows(a, b, k_count, n_count, acc);
}

}  // namespace morla::ops::kernels

#pragma GCC pop_options
#endif

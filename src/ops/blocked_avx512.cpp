// The blocked loops on 512-bit vectors, with and without the dot-product instructions.
// The two sets are separate files so that nothing compiled for the plain AVX-512 path can
// pick up a VNNI instruction.
#include "ops/blocked_kernels.h"

#ifdef MORLA_X86_KERNELS
#include <immintrin.h>

// The standard headers of blocked_loops.h, included before the region (target_begin.h):
#include <array>
#include <utility>

#define MORLA_TARGET "avx512f,avx512bw"
#include "ops/target_begin.h"
// GCC 12 takes the _mm512_undefined_epi32() inside its own widening intrinsics for a read
// of an uninitialised value.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "ops/avx512_vectors.h"
#include "ops/blocked_loops.h"

namespace morla::ops::kernels {

namespace {

struct Avx512 : Avx512Vectors {
  template <Packing K>
  static reg dot(reg acc, reg x, reg w) {
    if constexpr (K == Packing::words)
      return mul_add_words(acc, x, w);
    else
      return _mm512_add_epi32(acc, _mm512_madd_epi16(x, w));
  }
};

}  // namespace

void correlate_avx512(const PackedCorrelation& problem, Packing packing) {
  if (packing == Packing::words)
    correlate_packed<Avx512, Packing::words>(problem);
  else
    correlate_packed<Avx512, Packing::pairs>(problem);
}

void depthwise_avx512(const PackedDepthwise& problem) { depthwise<Avx512>(problem); }

namespace {

// a[0..rows) each in all eight 64-bit lanes; zero past `rows`.
template <size_t kRows>
void broadcast_rows(const int32_t* a, size_t rows, __m512i (&factors)[kRows]) {
  for (size_t i = 0; i < kRows; ++i) factors[i] = _mm512_set1_epi64(i < rows ? a[i] : 0);
}

// int32 b: vpmuldq multiplies the even 32-bit lanes into 64-bit products, so one load of
// sixteen values feeds two multiplies (even lanes, then odd lanes shifted down) with no
// widening shuffle. The sums of each sixteen columns are kept as [8 even | 8 odd] in
// `lanes` and put back in column order at the end. Eight rows of b per pass over the sums;
// b is read once, row after row.
void gemv_words(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count, uint64_t* acc,
                uint64_t* lanes) {
  constexpr size_t kRows = 8;
  const size_t whole = n_count / 16 * 16;
  for (size_t n = 0; n < n_count; ++n) acc[n] = 0;
  for (size_t n = 0; n < whole; ++n) lanes[n] = 0;
  for (size_t k0 = 0; k0 < k_count; k0 += kRows) {
    const size_t rows = smaller(kRows, k_count - k0);
    __m512i factors[kRows];
    broadcast_rows(a + k0, rows, factors);
    const int32_t* first = b + k0 * n_count;
    if (rows == kRows) {
      for (size_t n = 0; n < whole; n += 16) {
        __m512i even = _mm512_loadu_si512(lanes + n), odd = _mm512_loadu_si512(lanes + n + 8);
#pragma GCC unroll 8
        for (size_t i = 0; i < kRows; ++i) {
          const __m512i values = _mm512_loadu_si512(first + i * n_count + n);
          even = _mm512_add_epi64(even, _mm512_mul_epi32(factors[i], values));
          odd = _mm512_add_epi64(odd, _mm512_mul_epi32(factors[i], _mm512_srli_epi64(values, 32)));
        }
        _mm512_storeu_si512(lanes + n, even);
        _mm512_storeu_si512(lanes + n + 8, odd);
      }
    } else {
      for (size_t n = 0; n < whole; ++n)
        for (size_t i = 0; i < rows; ++i)
          lanes[n / 16 * 16 + (n % 2) * 8 + n % 16 / 2] +=
              static_cast<uint64_t>(int64_t{a[k0 + i]} * int64_t{first[i * n_count + n]});
    }
    for (size_t n = whole; n < n_count; ++n)
      for (size_t i = 0; i < rows; ++i)
        acc[n] += static_cast<uint64_t>(int64_t{a[k0 + i]} * int64_t{first[i * n_count + n]});
  }
  for (size_t n = 0; n < whole; ++n) acc[n] = lanes[n / 16 * 16 + (n % 2) * 8 + n % 16 / 2];
}

// int8 b with every a[k] within 16 bits: each product fits 23 bits, so 256 of them sum
// exactly in 32-bit lanes before they are widened into the 64-bit sums.
void gemv_bytes(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count, uint64_t* acc,
                int32_t* partial) {
  constexpr size_t kRows = 4, kSpan = 256;
  const size_t whole = n_count / 16 * 16;
  for (size_t n = 0; n < n_count; ++n) acc[n] = 0;
  for (size_t s0 = 0; s0 < k_count; s0 += kSpan) {
    const size_t span_end = smaller(k_count, s0 + kSpan);
    for (size_t n = 0; n < n_count; ++n) partial[n] = 0;
    size_t k0 = s0;
    for (; k0 + kRows <= span_end; k0 += kRows) {
      __m512i factors[kRows];
      for (size_t i = 0; i < kRows; ++i) factors[i] = _mm512_set1_epi32(a[k0 + i]);
      const int8_t* first = b + k0 * n_count;
      for (size_t n = 0; n < whole; n += 16) {
        __m512i sum = _mm512_loadu_si512(partial + n);
#pragma GCC unroll 4
        for (size_t i = 0; i < kRows; ++i) {
          const __m512i values = _mm512_cvtepi8_epi32(
              _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + i * n_count + n)));
          sum = _mm512_add_epi32(sum, _mm512_mullo_epi32(factors[i], values));
        }
        _mm512_storeu_si512(partial + n, sum);
      }
      for (size_t n = whole; n < n_count; ++n)
        for (size_t i = 0; i < kRows; ++i) partial[n] += a[k0 + i] * first[i * n_count + n];
    }
    for (; k0 < span_end; ++k0)
      for (size_t n = 0; n < n_count; ++n) partial[n] += a[k0] * b[k0 * n_count + n];
    for (size_t n = 0; n < n_count; ++n) acc[n] += static_cast<uint64_t>(int64_t{partial[n]});
  }
}

// Any int8 b: the products widened to 64 bits, eight rows per pass.
void gemv_wide(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count, uint64_t* acc) {
  constexpr size_t kRows = 8;
  for (size_t n = 0; n < n_count; ++n) acc[n] = 0;
  for (size_t k0 = 0; k0 < k_count; k0 += kRows) {
    const size_t rows = smaller(kRows, k_count - k0);
    __m512i factors[kRows];
    broadcast_rows(a + k0, rows, factors);
    const int8_t* first = b + k0 * n_count;
    size_t n = 0;
    if (rows == kRows)
      for (; n + 8 <= n_count; n += 8) {
        __m512i sum = _mm512_loadu_si512(acc + n);
#pragma GCC unroll 8
        for (size_t i = 0; i < kRows; ++i)
          sum = _mm512_add_epi64(
              sum,
              _mm512_mul_epi32(factors[i],
                               _mm512_cvtepi8_epi64(_mm_loadl_epi64(
                                   reinterpret_cast<const __m128i*>(first + i * n_count + n)))));
        _mm512_storeu_si512(acc + n, sum);
      }
    for (; n < n_count; ++n)
      for (size_t i = 0; i < rows; ++i)
        acc[n] += static_cast<uint64_t>(int64_t{a[k0 + i]} * int64_t{first[i * n_count + n]});
  }
}

}  // namespace

void gemv_avx512(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count, uint64_t* acc,
                 void* scratch) {
  gemv_words(a, b, k_count, n_count, acc, static_cast<uint64_t*>(scratch));
}

void gemv_avx512(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count, uint64_t* acc,
                 void* scratch) {
  if (within_16_bits(a, k_count))
    gemv_bytes(a, b, k_count, n_count, acc, static_cast<int32_t*>(scratch));
  else
    gemv_wide(a, b, k_count, n_count, acc);
}

}  // namespace morla::ops::kernels

#include "ops/target_end.h"
#endif

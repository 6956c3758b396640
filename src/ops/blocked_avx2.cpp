// The blocked loops on 256-bit vectors.
#include "ops/blocked_kernels.h"

#ifdef MORLA_X86_KERNELS
#include <immintrin.h>

// The standard headers of blocked_loops.h, included before the region (target_begin.h):
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

namespace {

// Eight 32-bit values from int32 or int8 storage.
__m256i load_words(const int32_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
__m256i load_words(const int8_t* p) {
  return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// The sums of kVec * 8 columns from `n` on over the rows of `first` (one factor each),
// kept as [4 even | 4 odd] per eight columns in `lanes`. Each sum is added to in row order:
// the empty asm keeps the compiler from regrouping the additions into a tree, which needs
// more registers than AVX2 has.
template <size_t kVec, size_t kRows, typename T>
[[gnu::always_inline]] inline void add_rows(const __m256i (&factors)[kRows], const T* first,
                                            size_t n_count, size_t n, uint64_t* lanes) {
  auto* sums = reinterpret_cast<__m256i*>(lanes + n);
  __m256i even[kVec], odd[kVec];
  for (size_t v = 0; v < kVec; ++v) {
    even[v] = _mm256_loadu_si256(sums + 2 * v);
    odd[v] = _mm256_loadu_si256(sums + 2 * v + 1);
  }
#pragma GCC unroll 8
  for (size_t i = 0; i < kRows; ++i)
#pragma GCC unroll 2
    for (size_t v = 0; v < kVec; ++v) {
      const __m256i values = load_words(first + i * n_count + n + 8 * v);
      even[v] = _mm256_add_epi64(even[v], _mm256_mul_epi32(factors[i], values));
      odd[v] = _mm256_add_epi64(odd[v], _mm256_mul_epi32(factors[i], _mm256_srli_epi64(values, 32)));
      asm("" : "+x"(even[v]), "+x"(odd[v]));
    }
  for (size_t v = 0; v < kVec; ++v) {
    _mm256_storeu_si256(sums + 2 * v, even[v]);
    _mm256_storeu_si256(sums + 2 * v + 1, odd[v]);
  }
}

// 64-bit sums of 64-bit products: vpmuldq multiplies the even 32-bit lanes, so one load of
// eight values feeds two multiplies (even lanes, then odd lanes shifted down). The sums of
// each eight columns are kept as [4 even | 4 odd] in `lanes` and put back in column order at
// the end. Four rows of b per pass over the sums, sixteen columns at a time; b is read once,
// row after row.
template <typename T>
void gemv_words(const int32_t* a, const T* b, size_t k_count, size_t n_count, uint64_t* acc,
                uint64_t* lanes) {
  constexpr size_t kRows = 4;
  const size_t whole = n_count / 8 * 8;
  const auto lane = [](size_t n) { return n / 8 * 8 + (n % 2) * 4 + n % 8 / 2; };
  for (size_t n = 0; n < n_count; ++n) acc[n] = 0;
  for (size_t n = 0; n < whole; ++n) lanes[n] = 0;
  for (size_t k0 = 0; k0 < k_count; k0 += kRows) {
    const size_t rows = smaller(kRows, k_count - k0);
    const T* first = b + k0 * n_count;
    if (rows == kRows) {
      __m256i factors[kRows];
      for (size_t i = 0; i < kRows; ++i) factors[i] = _mm256_set1_epi64x(a[k0 + i]);
      size_t n = 0;
      for (; n + 16 <= whole; n += 16) add_rows<2>(factors, first, n_count, n, lanes);
      if (n < whole) add_rows<1>(factors, first, n_count, n, lanes);
    } else {
      for (size_t n = 0; n < whole; ++n)
        for (size_t i = 0; i < rows; ++i)
          lanes[lane(n)] +=
              static_cast<uint64_t>(int64_t{a[k0 + i]} * int64_t{first[i * n_count + n]});
    }
    for (size_t n = whole; n < n_count; ++n)
      for (size_t i = 0; i < rows; ++i)
        acc[n] += static_cast<uint64_t>(int64_t{a[k0 + i]} * int64_t{first[i * n_count + n]});
  }
  for (size_t n = 0; n < whole; ++n) acc[n] = lanes[lane(n)];
}

// Sixteen (or eight) columns of two rows of int8 b as 16-bit pairs (row k, row k + 1) per
// column, for vpmaddwd against the pair (a[k], a[k + 1]).
[[gnu::always_inline]] inline __m256i pairs_low(__m128i row0, __m128i row1) {
  return _mm256_cvtepi8_epi16(_mm_unpacklo_epi8(row0, row1));
}
[[gnu::always_inline]] inline __m256i pairs_high(__m128i row0, __m128i row1) {
  return _mm256_cvtepi8_epi16(_mm_unpackhi_epi8(row0, row1));
}
[[gnu::always_inline]] inline __m128i load16(const int8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
[[gnu::always_inline]] inline __m128i load8(const int8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

// int8 b with every a[k] within 16 bits: vpmaddwd sums the products of two rows (each within
// 2^22 in magnitude) in 32-bit lanes, so the 128 row pairs of a span of 256 rows sum
// exactly before they are widened into the 64-bit sums. Eight rows per pass over `partial`
// (n_count + 8 values: a last block of fewer than eight columns reads eight, from the next
// row, and keeps the lanes past the last column to itself).
void gemv_bytes(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count, uint64_t* acc,
                int32_t* partial) {
  constexpr size_t kRows = 8, kSpan = 256;
  const int8_t* end = b + k_count * n_count;
  for (size_t n = 0; n < n_count; ++n) acc[n] = 0;
  for (size_t s0 = 0; s0 < k_count; s0 += kSpan) {
    const size_t span_end = smaller(k_count, s0 + kSpan);
    for (size_t n = 0; n < n_count + 8; ++n) partial[n] = 0;
    size_t k0 = s0;
    for (; k0 + kRows <= span_end; k0 += kRows) {
      __m256i factors[kRows / 2];
      for (size_t p = 0; p < kRows / 2; ++p)
        factors[p] = _mm256_set1_epi32(static_cast<int32_t>(
            (static_cast<uint32_t>(a[k0 + 2 * p]) & 0xffff) |
            (static_cast<uint32_t>(a[k0 + 2 * p + 1]) << 16)));
      const int8_t* first = b + k0 * n_count;
      size_t n = 0;
      for (; n + 16 <= n_count; n += 16) {
        auto* sums = reinterpret_cast<__m256i*>(partial + n);
        __m256i low = _mm256_loadu_si256(sums), high = _mm256_loadu_si256(sums + 1);
#pragma GCC unroll 4
        for (size_t p = 0; p < kRows / 2; ++p) {
          const __m128i row0 = load16(first + 2 * p * n_count + n);
          const __m128i row1 = load16(first + (2 * p + 1) * n_count + n);
          low = _mm256_add_epi32(low, _mm256_madd_epi16(pairs_low(row0, row1), factors[p]));
          high = _mm256_add_epi32(high, _mm256_madd_epi16(pairs_high(row0, row1), factors[p]));
        }
        _mm256_storeu_si256(sums, low);
        _mm256_storeu_si256(sums + 1, high);
      }
      // Up to eight columns more, while the eight bytes read stay inside b.
      if (n < n_count && first + (kRows - 1) * n_count + n + 8 <= end) {
        auto* sums = reinterpret_cast<__m256i*>(partial + n);
        __m256i low = _mm256_loadu_si256(sums);
#pragma GCC unroll 4
        for (size_t p = 0; p < kRows / 2; ++p) {
          const __m128i row0 = load8(first + 2 * p * n_count + n);
          const __m128i row1 = load8(first + (2 * p + 1) * n_count + n);
          low = _mm256_add_epi32(low, _mm256_madd_epi16(pairs_low(row0, row1), factors[p]));
        }
        _mm256_storeu_si256(sums, low);
        n += 8;
      }
      for (; n < n_count; ++n)
        for (size_t i = 0; i < kRows; ++i) partial[n] += a[k0 + i] * first[i * n_count + n];
    }
    for (; k0 < span_end; ++k0)
      for (size_t n = 0; n < n_count; ++n) partial[n] += a[k0] * b[k0 * n_count + n];
    for (size_t n = 0; n < n_count; ++n) acc[n] += static_cast<uint64_t>(int64_t{partial[n]});
  }
}

}  // namespace

void gemv_avx2(const int32_t* a, const int32_t* b, size_t k_count, size_t n_count, uint64_t* acc,
               void* scratch) {
  gemv_words(a, b, k_count, n_count, acc, static_cast<uint64_t*>(scratch));
}

void gemv_avx2(const int32_t* a, const int8_t* b, size_t k_count, size_t n_count, uint64_t* acc,
               void* scratch) {
  if (within_16_bits(a, k_count))
    gemv_bytes(a, b, k_count, n_count, acc, static_cast<int32_t*>(scratch));
  else
    gemv_words(a, b, k_count, n_count, acc, static_cast<uint64_t*>(scratch));
}

}  // namespace morla::ops::kernels

#include "ops/target_end.h"
#endif

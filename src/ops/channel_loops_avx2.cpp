// The element-wise loops compiled for AVX2, with the loops that the compiler does not turn
// into good vector code by itself written with intrinsics.
#include "ops/channel_loops_isa.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#define MORLA_TARGET "avx2"
#include "ops/target_begin.h"
#include "ops/channel_loops_body.h"

namespace morla::ops::loops {
namespace {
namespace body {

__m256i load(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
void store(int32_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// clamp(a + b, low, high) per lane, the sum saturated to int32 (add_clamped).
__m256i add_clamped(__m256i a, __m256i b, __m256i low, __m256i high) {
  const __m256i sum = _mm256_add_epi32(a, b);
  const __m256i overflow = _mm256_and_si256(_mm256_xor_si256(a, sum), _mm256_xor_si256(b, sum));
  const __m256i limit = _mm256_xor_si256(_mm256_srai_epi32(a, 31), _mm256_set1_epi32(INT32_MAX));
  const __m256i saturated = _mm256_castps_si256(_mm256_blendv_ps(
      _mm256_castsi256_ps(sum), _mm256_castsi256_ps(limit), _mm256_castsi256_ps(overflow)));
  return _mm256_min_epi32(_mm256_max_epi32(saturated, low), high);
}

// The sums of `Vectors` x 8 channels held in registers over all the rows.
template <int Vectors>
void sum_block(int32_t* sums, const int32_t* values, size_t rows, size_t n, __m256i low,
               __m256i high) {
  __m256i acc[Vectors];
  for (int v = 0; v < Vectors; ++v) acc[v] = load(sums + 8 * v);
  for (size_t r = 0; r < rows; ++r, values += n)
    for (int v = 0; v < Vectors; ++v) acc[v] = add_clamped(acc[v], load(values + 8 * v), low, high);
  for (int v = 0; v < Vectors; ++v) store(sums + 8 * v, acc[v]);
}

// Register accumulators for the sums.
template <>
void sum_pass<Avx2>(int32_t* sums, const int32_t* values, size_t rows, size_t n, int32_t low,
                    int32_t high) {
  const __m256i lows = _mm256_set1_epi32(low), highs = _mm256_set1_epi32(high);
  size_t c = 0;
  for (; n - c >= 64; c += 64) sum_block<8>(sums + c, values + c, rows, n, lows, highs);
  if (n - c >= 32) sum_block<4>(sums + c, values + c, rows, n, lows, highs), c += 32;
  if (n - c >= 16) sum_block<2>(sums + c, values + c, rows, n, lows, highs), c += 16;
  if (n - c >= 8) sum_block<1>(sums + c, values + c, rows, n, lows, highs), c += 8;
  if (c == n) return;
  // The last channels through masked lanes.
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(n - c)), lanes);
  __m256i acc = _mm256_maskload_epi32(sums + c, mask);
  for (size_t r = 0; r < rows; ++r)
    acc = add_clamped(acc, _mm256_maskload_epi32(values + r * n + c, mask), lows, highs);
  _mm256_maskstore_epi32(sums + c, mask, acc);
}

// The gathers are slower here than plain loads on the AMD cores (and on Intel's since their
// microcode mitigation): the vector checks the indices, the loads stay scalar.
template <>
bool look_up_pass<Avx2>(const int32_t* table, int64_t half, const int32_t* index, size_t count,
                        int32_t* out) {
  // As the portable loop: indices moved to [0, 2 * half), any other is outside and reads
  // entry 0 instead.
  const auto offset = static_cast<uint32_t>(half), span = 2 * offset;
  const __m256i offsets = _mm256_set1_epi32(static_cast<int32_t>(offset));
  const __m256i last = _mm256_set1_epi32(static_cast<int32_t>(span - 1));
  __m256i inside_all = _mm256_set1_epi32(-1);
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i k = _mm256_add_epi32(load(index + i), offsets);
    const __m256i inside = _mm256_cmpeq_epi32(_mm256_min_epu32(k, last), k);
    inside_all = _mm256_and_si256(inside_all, inside);
    const __m256i entries = _mm256_and_si256(k, inside);
    const __m128i low = _mm256_castsi256_si128(entries),
                  high = _mm256_extracti128_si256(entries, 1);
    const uint64_t pairs[4] = {static_cast<uint64_t>(_mm_cvtsi128_si64(low)),
                               static_cast<uint64_t>(_mm_extract_epi64(low, 1)),
                               static_cast<uint64_t>(_mm_cvtsi128_si64(high)),
                               static_cast<uint64_t>(_mm_extract_epi64(high, 1))};
    for (int p = 0; p < 4; ++p) {
      out[i + 2 * p] = table[static_cast<uint32_t>(pairs[p])];
      out[i + 2 * p + 1] = table[pairs[p] >> 32];
    }
  }
  const bool tail_inside = look_up_pass<Portable>(table, half, index + i, count - i, out + i);
  return tail_inside && _mm256_movemask_epi8(inside_all) == -1;
}

}  // namespace body
}  // namespace

#define MORLA_ISA Avx2
MORLA_INSTANTIATE_CHANNEL_LOOPS()
#undef MORLA_ISA
}  // namespace morla::ops::loops

#include "ops/target_end.h"
#endif

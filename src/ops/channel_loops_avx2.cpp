// The element-wise loops compiled for AVX2, with the loops that the compiler does not turn
// into good vector code by itself written with intrinsics (channel_loops_vector.h).
#include "ops/channel_loops_isa.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

// The standard headers of the region's code, included before it (target_begin.h):
#include <limits>       // channel_loops_vector.h
#include <type_traits>  // Avx2Lanes below

#define MORLA_TARGET "avx2"
#include "ops/target_begin.h"
#include "ops/channel_loops_vector.h"

namespace morla::ops::loops {
namespace {

// The operations of channel_loops_vector.h on 8 lanes; a mask holds all ones in its lanes.
struct Avx2Lanes {
  using reg = __m256i;
  using mask = __m256i;
  static constexpr size_t kLanes = 8;

  static reg set1(int32_t x) { return _mm256_set1_epi32(x); }
  static reg load(const int32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static void store(int32_t* p, reg v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static reg add(reg a, reg b) { return _mm256_add_epi32(a, b); }

  static mask first(size_t n) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(set1(static_cast<int32_t>(n)), lanes);
  }
  static reg load_first(const int32_t* p, mask m) { return _mm256_maskload_epi32(p, m); }
  static void store_first(int32_t* p, mask m, reg v) { _mm256_maskstore_epi32(p, m, v); }

  static reg add_clamped(reg a, reg b, reg low, reg high) {
    const __m256i sum = _mm256_add_epi32(a, b);
    // The lanes whose operands share a sign that the sum lacks take INT32_MAX, or INT32_MIN
    // where a < 0.
    const __m256i overflow = _mm256_and_si256(_mm256_xor_si256(a, sum), _mm256_xor_si256(b, sum));
    const __m256i limit = _mm256_xor_si256(_mm256_srai_epi32(a, 31), set1(INT32_MAX));
    const __m256i saturated = _mm256_castps_si256(_mm256_blendv_ps(
        _mm256_castsi256_ps(sum), _mm256_castsi256_ps(limit), _mm256_castsi256_ps(overflow)));
    return _mm256_min_epi32(_mm256_max_epi32(saturated, low), high);
  }

  static mask all_lanes() { return set1(-1); }
  static mask at_most(reg k, reg last) { return _mm256_cmpeq_epi32(_mm256_min_epu32(k, last), k); }
  static mask both(mask a, mask b) { return _mm256_and_si256(a, b); }
  static bool every(mask m) { return _mm256_movemask_epi8(m) == -1; }
  static reg only(mask m, reg v) { return _mm256_and_si256(m, v); }
  static void pairs(reg v, uint64_t* p) {
    const __m128i low = _mm256_castsi256_si128(v), high = _mm256_extracti128_si256(v, 1);
    p[0] = static_cast<uint64_t>(_mm_cvtsi128_si64(low));
    p[1] = static_cast<uint64_t>(_mm_extract_epi64(low, 1));
    p[2] = static_cast<uint64_t>(_mm_cvtsi128_si64(high));
    p[3] = static_cast<uint64_t>(_mm_extract_epi64(high, 1));
  }

  static reg subtract(reg a, reg b) { return _mm256_sub_epi32(a, b); }
  static reg shift_right(reg v, int n) { return _mm256_srai_epi32(v, n); }
  static reg min(reg a, reg b) { return _mm256_min_epi32(a, b); }
  static reg max(reg a, reg b) { return _mm256_max_epi32(a, b); }
  static reg multiply(reg a, reg b) { return _mm256_mullo_epi32(a, b); }
  static reg bits_and(reg a, reg b) { return _mm256_and_si256(a, b); }
  static reg shift_right(reg v, reg counts) { return _mm256_srav_epi32(v, counts); }
  static reg shift_left(reg v, reg counts) { return _mm256_sllv_epi32(v, counts); }
  static mask greater(reg a, reg b) { return _mm256_cmpgt_epi32(a, b); }
  static reg select(mask m, reg a, reg b) { return _mm256_blendv_epi8(b, a, m); }

  // The low byte or half of each lane: the unsigned packs keep them exactly, lanes in the
  // order of each 128-bit half, put back in order by one permutation.
  template <class Byte>
  static void store_narrow(Byte* p, const reg (&v)[4]) {
    const reg bytes = set1(0xFF);
    const reg pairs01 = _mm256_packus_epi32(bits_and(v[0], bytes), bits_and(v[1], bytes));
    const reg pairs23 = _mm256_packus_epi32(bits_and(v[2], bytes), bits_and(v[3], bytes));
    const reg packed = _mm256_packus_epi16(pairs01, pairs23);
    const reg order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_permutevar8x32_epi32(packed, order));
  }
  static void store_narrow(int16_t* p, const reg (&v)[2]) {
    const reg halves = set1(0xFFFF);
    const reg packed = _mm256_packus_epi32(bits_and(v[0], halves), bits_and(v[1], halves));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_permute4x64_epi64(packed, 0xD8));
  }
  // The signed packs clip to int16 then int8, or uint8 for the unsigned last one.
  template <class Byte>
  static void store_saturated(Byte* p, const reg (&v)[4]) {
    const reg pairs01 = _mm256_packs_epi32(v[0], v[1]), pairs23 = _mm256_packs_epi32(v[2], v[3]);
    const reg packed = std::is_signed_v<Byte> ? _mm256_packs_epi16(pairs01, pairs23)
                                              : _mm256_packus_epi16(pairs01, pairs23);
    const reg order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_permutevar8x32_epi32(packed, order));
  }
  static void store_saturated(int16_t* p, const reg (&v)[2]) {
    const reg packed = _mm256_packs_epi32(v[0], v[1]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_permute4x64_epi64(packed, 0xD8));
  }
};

namespace body {
template <>
struct Passes<Avx2> : vector::Passes<Avx2Lanes> {};
}  // namespace body
}  // namespace

#define MORLA_ISA Avx2
MORLA_INSTANTIATE_CHANNEL_LOOPS()
#undef MORLA_ISA
}  // namespace morla::ops::loops

#include "ops/target_end.h"
#endif

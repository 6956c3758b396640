#pragma once
// The operations of channel_loops_vector.h on 16 int32 lanes of AVX-512 F. Included after
// <immintrin.h> inside an AVX-512 target region (channel_loops_avx512.cpp), or after
// portable versions of the same intrinsics (the tests' emulation on CPUs without AVX-512).
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace morla::ops::loops {
namespace {  // each file that includes this one compiles its own copy

struct Avx512Lanes {
  using reg = __m512i;
  using mask = uint16_t;  // __mmask16
  static constexpr size_t kLanes = 16;

  static reg set1(int32_t x) { return _mm512_set1_epi32(x); }
  static reg load(const int32_t* p) { return _mm512_loadu_si512(p); }
  static void store(int32_t* p, reg v) { _mm512_storeu_si512(p, v); }
  static reg add(reg a, reg b) { return _mm512_add_epi32(a, b); }

  static mask first(size_t n) { return static_cast<mask>((1u << n) - 1); }
  static reg load_first(const int32_t* p, mask m) { return _mm512_maskz_loadu_epi32(m, p); }
  static void store_first(int32_t* p, mask m, reg v) { _mm512_mask_storeu_epi32(p, m, v); }

  static reg add_clamped(reg a, reg b, reg low, reg high) {
    const reg sum = _mm512_add_epi32(a, b);
    // The lanes whose operands share a sign that the sum lacks: (a ^ sum) & (b ^ sum) < 0
    // (truth table 0x42 over a, b, sum). They take INT32_MAX, or INT32_MIN where a < 0
    // (INT32_MAX + 1 in 32 bits).
    const mask overflow = _mm512_cmpgt_epi32_mask(_mm512_setzero_si512(),
                                                  _mm512_ternarylogic_epi32(a, b, sum, 0x42));
    const reg limit = _mm512_add_epi32(_mm512_srli_epi32(a, 31), set1(INT32_MAX));
    const reg saturated = _mm512_mask_blend_epi32(overflow, sum, limit);
    return _mm512_min_epi32(_mm512_max_epi32(saturated, low), high);
  }

  static mask all_lanes() { return 0xFFFF; }
  static mask at_most(reg k, reg last) { return _mm512_cmple_epu32_mask(k, last); }
  static mask both(mask a, mask b) { return static_cast<mask>(a & b); }
  static bool every(mask m) { return m == 0xFFFF; }
  static reg only(mask m, reg v) { return _mm512_maskz_mov_epi32(m, v); }
  static void pairs(reg v, uint64_t* p) {
    const __m128i quarters[4] = {_mm512_extracti32x4_epi32(v, 0), _mm512_extracti32x4_epi32(v, 1),
                                 _mm512_extracti32x4_epi32(v, 2), _mm512_extracti32x4_epi32(v, 3)};
    for (int q = 0; q < 4; ++q) {
      p[2 * q] = static_cast<uint64_t>(_mm_cvtsi128_si64(quarters[q]));
      p[2 * q + 1] = static_cast<uint64_t>(_mm_extract_epi64(quarters[q], 1));
    }
  }

  static reg subtract(reg a, reg b) { return _mm512_sub_epi32(a, b); }
  static reg shift_right(reg v, int n) { return _mm512_srav_epi32(v, set1(n)); }
  static reg min(reg a, reg b) { return _mm512_min_epi32(a, b); }
  static reg max(reg a, reg b) { return _mm512_max_epi32(a, b); }
  static reg multiply(reg a, reg b) { return _mm512_mullo_epi32(a, b); }
  static reg bits_and(reg a, reg b) { return _mm512_and_si512(a, b); }
  static reg shift_right(reg v, reg counts) { return _mm512_srav_epi32(v, counts); }
  static reg shift_left(reg v, reg counts) { return _mm512_sllv_epi32(v, counts); }
  static mask greater(reg a, reg b) { return _mm512_cmpgt_epi32_mask(a, b); }
  static reg select(mask m, reg a, reg b) { return _mm512_mask_blend_epi32(m, b, a); }

  // The low byte or half of each lane: the unsigned packs keep them exactly, lanes in the
  // order of each 128-bit quarter, put back in order by one permutation.
  template <class Byte>
  static void store_narrow(Byte* p, const reg (&v)[4]) {
    const reg bytes = set1(0xFF);
    const reg pairs01 = _mm512_packus_epi32(bits_and(v[0], bytes), bits_and(v[1], bytes));
    const reg pairs23 = _mm512_packus_epi32(bits_and(v[2], bytes), bits_and(v[3], bytes));
    const reg packed = _mm512_packus_epi16(pairs01, pairs23);
    const reg order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    _mm512_storeu_si512(p, _mm512_permutexvar_epi32(order, packed));
  }
  static void store_narrow(int16_t* p, const reg (&v)[2]) {
    const reg halves = set1(0xFFFF);
    const reg packed = _mm512_packus_epi32(bits_and(v[0], halves), bits_and(v[1], halves));
    const reg order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    _mm512_storeu_si512(p, _mm512_permutexvar_epi64(order, packed));
  }
  // The signed packs clip to int16 then int8, or uint8 for the unsigned last one.
  template <class Byte>
  static void store_saturated(Byte* p, const reg (&v)[4]) {
    const reg pairs01 = _mm512_packs_epi32(v[0], v[1]), pairs23 = _mm512_packs_epi32(v[2], v[3]);
    const reg packed = std::is_signed_v<Byte> ? _mm512_packs_epi16(pairs01, pairs23)
                                              : _mm512_packus_epi16(pairs01, pairs23);
    const reg order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    _mm512_storeu_si512(p, _mm512_permutexvar_epi32(order, packed));
  }
  static void store_saturated(int16_t* p, const reg (&v)[2]) {
    const reg order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    _mm512_storeu_si512(p, _mm512_permutexvar_epi64(order, _mm512_packs_epi32(v[0], v[1])));
  }
};

}  // namespace
}  // namespace morla::ops::loops

#pragma once
// The operations of channel_loops_vector.h on 16 int32 lanes of AVX-512 F. Included after
// <immintrin.h> inside an AVX-512 target region (channel_loops_avx512.cpp), or after
// portable versions of the same intrinsics (the tests' emulation on CPUs without AVX-512).
#include <cstddef>
#include <cstdint>

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
};

}  // namespace
}  // namespace morla::ops::loops

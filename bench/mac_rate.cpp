// The core's multiply-add limits in registers, one per precision, with no memory traffic,
// on the widest vectors the CPU has:
//   int32: acc += x * y, the multiply its own instruction (vpmulld, then vpaddd);
//   int16: pairs of 16-bit products into 32-bit lanes: vpdpwssd with AVX-512 VNNI, else
//          vpmaddwd then vpaddd;
//   int8:  quads of 8-bit products: vpdpbusd with AVX-512 VNNI; without it the exact int8
//          limit is the int16 one (bytes widened to pairs), printed again under this name;
//   u8s8_saturating (without VNNI, for information): vpmaddubsw, vpmaddwd by ones, vpaddd,
//          whose 16-bit pair sums saturate, so it is no exact int8 product;
//   int8 tiles: AMX tdpbssd, only where the CPU has it.
// Each loop keeps its operands opaque to the compiler (an empty asm per iteration), so
// nothing is hoisted, and holds its accumulators, operands and products in the register
// file (16 registers on AVX2, 32 on AVX-512), so nothing spills. Prints "name=GMAC/s" per
// line, the best of five runs; "amx_int8=absent" without tiles; and "class=" the vector
// class the figures come from.
#include <immintrin.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr long kIterations = 10'000'000;

template <typename Body>
double gmacs(Body body, double macs_per_iteration, long iterations = kIterations) {
  double best = 0;
  for (int run = 0; run < 5; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    body();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double rate = macs_per_iteration * iterations / s / 1e9;
    best = rate > best ? rate : best;
  }
  return best;
}

#define OPAQUE4(a, b, c, d) asm volatile("" : "+v"(a), "+v"(b), "+v"(c), "+v"(d))
#define KEEP4(a, b, c, d) asm volatile("" ::"v"(a), "v"(b), "v"(c), "v"(d))

// 16 accumulators, 10 operands: for 32 registers and instructions that multiply-add in
// place; STEP(x, y, acc) updates accumulator acc.
#define SIXTEEN(type, make, STEP)                                                               \
  type a0 = make(1), a1 = make(2), a2 = make(3), a3 = make(4), a4 = make(5), a5 = make(6);      \
  type a6 = make(7), a7 = make(8), a8 = make(9), a9 = make(10), a10 = make(11), a11 = make(12); \
  type a12 = make(13), a13 = make(14), a14 = make(15), a15 = make(16);                          \
  type x0 = make(3), x1 = make(5), x2 = make(7), x3 = make(9), x4 = make(11), x5 = make(13);    \
  type x6 = make(15), x7 = make(17), y0 = make(19), y1 = make(21);                              \
  for (long n = 0; n < kIterations; ++n) {                                                      \
    OPAQUE4(x0, x1, x2, x3);                                                                    \
    OPAQUE4(x4, x5, x6, x7);                                                                    \
    asm volatile("" : "+v"(y0), "+v"(y1));                                                      \
    STEP(x0, y0, a0);                                                                           \
    STEP(x1, y0, a1);                                                                           \
    STEP(x2, y0, a2);                                                                           \
    STEP(x3, y0, a3);                                                                           \
    STEP(x4, y0, a4);                                                                           \
    STEP(x5, y0, a5);                                                                           \
    STEP(x6, y0, a6);                                                                           \
    STEP(x7, y0, a7);                                                                           \
    STEP(x0, y1, a8);                                                                           \
    STEP(x1, y1, a9);                                                                           \
    STEP(x2, y1, a10);                                                                          \
    STEP(x3, y1, a11);                                                                          \
    STEP(x4, y1, a12);                                                                          \
    STEP(x5, y1, a13);                                                                          \
    STEP(x6, y1, a14);                                                                          \
    STEP(x7, y1, a15);                                                                          \
  }                                                                                             \
  KEEP4(a0, a1, a2, a3);                                                                        \
  KEEP4(a4, a5, a6, a7);                                                                        \
  KEEP4(a8, a9, a10, a11);                                                                      \
  KEEP4(a12, a13, a14, a15);

// 8 accumulators, 4 operands, 4 registers left for the products: for the 16 registers of
// AVX2. The additions only chain through each accumulator (one cycle), so eight of them keep
// the multiplier busy.
#define EIGHT(type, make, STEP)                                                                \
  type a0 = make(1), a1 = make(2), a2 = make(3), a3 = make(4), a4 = make(5), a5 = make(6);     \
  type a6 = make(7), a7 = make(8), x0 = make(3), x1 = make(5), y0 = make(19), y1 = make(21);   \
  for (long n = 0; n < kIterations; ++n) {                                                     \
    OPAQUE4(x0, x1, y0, y1);                                                                   \
    STEP(x0, y0, a0);                                                                          \
    STEP(x1, y0, a1);                                                                          \
    STEP(x0, y1, a2);                                                                          \
    STEP(x1, y1, a3);                                                                          \
    OPAQUE4(x0, x1, y0, y1);                                                                   \
    STEP(x0, y0, a4);                                                                          \
    STEP(x1, y0, a5);                                                                          \
    STEP(x0, y1, a6);                                                                          \
    STEP(x1, y1, a7);                                                                          \
  }                                                                                            \
  KEEP4(a0, a1, a2, a3);                                                                       \
  KEEP4(a4, a5, a6, a7);

__attribute__((target("avx2"))) void avx2_words() {
#define STEP(x, y, a) a = _mm256_add_epi32(a, _mm256_mullo_epi32(x, y))
  EIGHT(__m256i, _mm256_set1_epi32, STEP)
#undef STEP
}

__attribute__((target("avx2"))) void avx2_pairs() {
#define STEP(x, y, a) a = _mm256_add_epi32(a, _mm256_madd_epi16(x, y))
  EIGHT(__m256i, _mm256_set1_epi32, STEP)
#undef STEP
}

// vpmaddubsw (unsigned x signed bytes, pairs summed with 16-bit saturation), then vpmaddwd
// by ones into 32-bit lanes.
__attribute__((target("avx2"))) void avx2_saturating_bytes() {
  const __m256i ones = _mm256_set1_epi16(1);
#define STEP(x, y, a) \
  a = _mm256_add_epi32(a, _mm256_madd_epi16(_mm256_maddubs_epi16(x, y), ones))
  EIGHT(__m256i, _mm256_set1_epi32, STEP)
#undef STEP
}

__attribute__((target("avx512f"))) void avx512_words() {
#define STEP(x, y, a) a = _mm512_add_epi32(a, _mm512_mullo_epi32(x, y))
  SIXTEEN(__m512i, _mm512_set1_epi32, STEP)
#undef STEP
}

__attribute__((target("avx512f,avx512bw"))) void avx512_pairs() {
#define STEP(x, y, a) a = _mm512_add_epi32(a, _mm512_madd_epi16(x, y))
  SIXTEEN(__m512i, _mm512_set1_epi32, STEP)
#undef STEP
}

__attribute__((target("avx512f,avx512bw"))) void avx512_saturating_bytes() {
  const __m512i ones = _mm512_set1_epi16(1);
#define STEP(x, y, a) \
  a = _mm512_add_epi32(a, _mm512_madd_epi16(_mm512_maddubs_epi16(x, y), ones))
  SIXTEEN(__m512i, _mm512_set1_epi32, STEP)
#undef STEP
}

__attribute__((target("avx512f,avx512vnni"))) void vnni_pairs() {
#define STEP(x, y, a) a = _mm512_dpwssd_epi32(a, x, y)
  SIXTEEN(__m512i, _mm512_set1_epi32, STEP)
#undef STEP
}

__attribute__((target("avx512f,avx512vnni"))) void vnni_bytes() {
#define STEP(x, y, a) a = _mm512_dpbusd_epi32(a, x, y)
  SIXTEEN(__m512i, _mm512_set1_epi32, STEP)
#undef STEP
}

// AMX: CPUID leaf 7 EDX bit 25 (AMX-INT8) and bit 24 (AMX-TILE); the kernel grants the tile
// state to a process that asks for it once.
bool has_amx() {
  unsigned a, b, c, d;
  __asm__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(7), "c"(0));
  if (!((d >> 24) & 1) || !((d >> 25) & 1)) return false;
  constexpr long kArchReqXcompPerm = 0x1023, kXfeatureXtiledata = 18;
  return syscall(SYS_arch_prctl, kArchReqXcompPerm, kXfeatureXtiledata) == 0;
}

constexpr long kTileIterations = 1'000'000;

// Four 16x16 int32 accumulator tiles, each += a 16x64 int8 tile by a 64x16 one per step:
// 4 * 16 * 16 * 64 multiply-adds per iteration.
__attribute__((target("amx-tile,amx-int8"))) void amx_bytes() {
  struct alignas(64) Config {
    uint8_t palette = 1, start_row = 0, reserved[14] = {};
    uint16_t colsb[16] = {};
    uint8_t rows[16] = {};
  } config;
  for (int t = 0; t < 6; ++t) {
    config.colsb[t] = 64;
    config.rows[t] = 16;
  }
  alignas(64) static int8_t operand[16 * 64];
  std::memset(operand, 1, sizeof operand);
  _tile_loadconfig(&config);
  _tile_zero(0);
  _tile_zero(1);
  _tile_zero(2);
  _tile_zero(3);
  _tile_loadd(4, operand, 64);
  _tile_loadd(5, operand, 64);
  for (long n = 0; n < kTileIterations; ++n) {
    _tile_dpbssd(0, 4, 5);
    _tile_dpbssd(1, 4, 5);
    _tile_dpbssd(2, 4, 5);
    _tile_dpbssd(3, 4, 5);
  }
  alignas(64) static int32_t sink[16 * 16];
  _tile_stored(0, sink, 64);
  _tile_release();
}

}  // namespace

int main() {
  __builtin_cpu_init();
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  const bool vnni = avx512 && __builtin_cpu_supports("avx512vnni");
  if (vnni) {
    std::printf("class=avx512_vnni\n");
    std::printf("int32=%.2f\n", gmacs(avx512_words, 16.0 * 16));
    std::printf("int16=%.2f\n", gmacs(vnni_pairs, 32.0 * 16));
    std::printf("int8=%.2f\n", gmacs(vnni_bytes, 64.0 * 16));
  } else if (avx512) {
    std::printf("class=avx512\n");
    std::printf("int32=%.2f\n", gmacs(avx512_words, 16.0 * 16));
    const double pairs = gmacs(avx512_pairs, 32.0 * 16);
    std::printf("int16=%.2f\nint8=%.2f\n", pairs, pairs);
    std::printf("u8s8_saturating=%.2f\n", gmacs(avx512_saturating_bytes, 64.0 * 16));
  } else if (__builtin_cpu_supports("avx2")) {
    std::printf("class=avx2\n");
    std::printf("int32=%.2f\n", gmacs(avx2_words, 8.0 * 8));
    const double pairs = gmacs(avx2_pairs, 16.0 * 8);
    std::printf("int16=%.2f\nint8=%.2f\n", pairs, pairs);
    std::printf("u8s8_saturating=%.2f\n", gmacs(avx2_saturating_bytes, 32.0 * 8));
  } else {
    std::printf("class=baseline\n");
  }
  if (has_amx())
    std::printf("amx_int8=%.2f\n", gmacs(amx_bytes, 4.0 * 16 * 16 * 64, kTileIterations));
  else
    std::printf("amx_int8=absent\n");
  return 0;
}

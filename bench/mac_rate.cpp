// The core's multiply-add limits in registers, one per precision, with no memory traffic:
//   int32: 16 independent accumulators acc += x * y, the multiply its own instruction
//          (vpmulld, then vpaddd), on the widest vectors the CPU has;
//   int16: vpdpwssd (pairs of 16-bit products into 32-bit lanes), 16 accumulators;
//   int8:  vpdpbusd (quads of 8-bit products), 16 accumulators;
//   int8 tiles: AMX tdpbssd, only where the CPU has it.
// Each loop keeps its operands opaque to the compiler (an empty asm per iteration), so
// nothing is hoisted, and uses at most 26 vector registers, so nothing spills. Prints
// "name=GMAC/s" per line, the best of five runs; "amx_int8=absent" without tiles.
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

#define OPAQUE8(a, b, c, d, e, f, g, h) \
  asm volatile("" : "+v"(a), "+v"(b), "+v"(c), "+v"(d), "+v"(e), "+v"(f), "+v"(g), "+v"(h))
#define KEEP8(a, b, c, d, e, f, g, h) \
  asm volatile("" ::"v"(a), "v"(b), "v"(c), "v"(d), "v"(e), "v"(f), "v"(g), "v"(h))

// 16 accumulators; STEP(k, acc) updates accumulator k.
#define SIXTEEN(type, make, STEP)                                                               \
  type a0 = make(1), a1 = make(2), a2 = make(3), a3 = make(4), a4 = make(5), a5 = make(6);      \
  type a6 = make(7), a7 = make(8), a8 = make(9), a9 = make(10), a10 = make(11), a11 = make(12); \
  type a12 = make(13), a13 = make(14), a14 = make(15), a15 = make(16);                          \
  type x0 = make(3), x1 = make(5), x2 = make(7), x3 = make(9), x4 = make(11), x5 = make(13);    \
  type x6 = make(15), x7 = make(17), y0 = make(19), y1 = make(21);                              \
  for (long n = 0; n < kIterations; ++n) {                                                      \
    OPAQUE8(x0, x1, x2, x3, x4, x5, x6, x7);                                                    \
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
  KEEP8(a0, a1, a2, a3, a4, a5, a6, a7);                                                        \
  KEEP8(a8, a9, a10, a11, a12, a13, a14, a15);

__attribute__((target("avx2"))) void avx2_words() {
#define STEP(x, y, a) a = _mm256_add_epi32(a, _mm256_mullo_epi32(x, y))
  SIXTEEN(__m256i, _mm256_set1_epi32, STEP)
#undef STEP
}

__attribute__((target("avx512f"))) void avx512_words() {
#define STEP(x, y, a) a = _mm512_add_epi32(a, _mm512_mullo_epi32(x, y))
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
  const bool avx512 = __builtin_cpu_supports("avx512f");
  if (avx512)
    std::printf("int32=%.2f\n", gmacs(avx512_words, 16.0 * 16));
  else if (__builtin_cpu_supports("avx2"))
    std::printf("int32=%.2f\n", gmacs(avx2_words, 8.0 * 16));
  if (avx512 && __builtin_cpu_supports("avx512vnni")) {
    std::printf("int16=%.2f\n", gmacs(vnni_pairs, 32.0 * 16));
    std::printf("int8=%.2f\n", gmacs(vnni_bytes, 64.0 * 16));
  }
  if (has_amx())
    std::printf("amx_int8=%.2f\n", gmacs(amx_bytes, 4.0 * 16 * 16 * 64, kTileIterations));
  else
    std::printf("amx_int8=absent\n");
  return 0;
}

// The core's multiply-add rate in registers: independent chains of acc += x * y on 32-bit
// lanes (vpmulld + vpaddd), no memory traffic, for each vector width the CPU has; and, for
// information, the 8- and 16-bit dot-product instructions. Prints "name=GMAC/s" per line.
#include <immintrin.h>

#include <chrono>
#include <cstdio>

namespace {

constexpr long kIterations = 20'000'000;
constexpr int kChains = 12;  // as many as CHAINS below

template <typename Body>
double gmacs(Body body, double macs_per_iteration) {
  double best = 0;
  for (int run = 0; run < 3; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    body();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = best > macs_per_iteration * kIterations / s / 1e9 ? best
                                                             : macs_per_iteration * kIterations / s / 1e9;
  }
  return best;
}

// Each chain is acc = acc * y + z: a dependent multiply-add, so nothing can be hoisted out
// of the loop, and twelve chains hide the latency. The asm barriers keep the operands opaque
// and the results alive.
#define CHAINS(type, make, madd)                                        \
  type y = make(3), z = make(5);                                        \
  asm volatile("" : "+v"(y), "+v"(z));                                  \
  type a0 = make(1), a1 = make(2), a2 = make(3), a3 = make(4), a4 = make(5), a5 = make(6); \
  type a6 = make(7), a7 = make(8), a8 = make(9), a9 = make(10), a10 = make(11), a11 = make(12); \
  for (long n = 0; n < kIterations; ++n) {                              \
    a0 = madd(a0); a1 = madd(a1); a2 = madd(a2); a3 = madd(a3);         \
    a4 = madd(a4); a5 = madd(a5); a6 = madd(a6); a7 = madd(a7);         \
    a8 = madd(a8); a9 = madd(a9); a10 = madd(a10); a11 = madd(a11);     \
  }                                                                     \
  asm volatile("" ::"v"(a0), "v"(a1), "v"(a2), "v"(a3), "v"(a4), "v"(a5)); \
  asm volatile("" ::"v"(a6), "v"(a7), "v"(a8), "v"(a9), "v"(a10), "v"(a11));

__attribute__((target("avx2"))) void avx2_words() {
#define MADD(a) _mm256_add_epi32(_mm256_mullo_epi32(a, y), z)
  CHAINS(__m256i, _mm256_set1_epi32, MADD)
#undef MADD
}

__attribute__((target("avx512f"))) void avx512_words() {
#define MADD(a) _mm512_add_epi32(_mm512_mullo_epi32(a, y), z)
  CHAINS(__m512i, _mm512_set1_epi32, MADD)
#undef MADD
}

__attribute__((target("avx512f,avx512vnni"))) void vnni_pairs() {
#define MADD(a) _mm512_dpwssd_epi32(a, y, z)
  CHAINS(__m512i, _mm512_set1_epi32, MADD)
#undef MADD
}

__attribute__((target("avx512f,avx512vnni"))) void vnni_bytes() {
#define MADD(a) _mm512_dpbusd_epi32(a, y, z)
  CHAINS(__m512i, _mm512_set1_epi32, MADD)
#undef MADD
}

}  // namespace

int main() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) std::printf("avx2_int32=%.2f\n", gmacs(avx2_words, 8.0 * kChains));
  if (__builtin_cpu_supports("avx512f"))
    std::printf("avx512_int32=%.2f\n", gmacs(avx512_words, 16.0 * kChains));
  if (__builtin_cpu_supports("avx512vnni")) {
    std::printf("vnni_int16=%.2f\n", gmacs(vnni_pairs, 32.0 * kChains));
    std::printf("vnni_int8=%.2f\n", gmacs(vnni_bytes, 64.0 * kChains));
  }
  return 0;
}

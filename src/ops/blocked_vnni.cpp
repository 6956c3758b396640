// The blocked loops with the AVX-512 dot-product instructions (16- and 8-bit values).
#include "ops/blocked_kernels.h"

#ifdef MORLA_X86_KERNELS
#include <immintrin.h>

// The standard headers of blocked_loops.h, included before the region (target_begin.h):
#include <array>
#include <utility>

#define MORLA_TARGET "avx512f,avx512bw,avx512vnni"
#include "ops/target_begin.h"
// GCC 12 takes the _mm512_undefined_epi32() inside its own intrinsics for a read of an
// uninitialised value.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "ops/avx512_vectors.h"
#include "ops/blocked_loops.h"

namespace morla::ops::kernels {

namespace {

struct Vnni : Avx512Vectors {
  // vpdpwssd and vpdpbusd wrap (their saturating forms are vpdpwssds and vpdpbusds).
  template <Packing K>
  static reg dot(reg acc, reg x, reg w) {
    if constexpr (K == Packing::pairs)
      return _mm512_dpwssd_epi32(acc, x, w);
    else
      return _mm512_dpbusd_epi32(acc, x, w);
  }
};

}  // namespace

void correlate_vnni(const PackedCorrelation& problem, Packing packing) {
  if (packing == Packing::bytes)
    correlate_packed<Vnni, Packing::bytes>(problem);
  else
    correlate_packed<Vnni, Packing::pairs>(problem);
}

}  // namespace morla::ops::kernels

#include "ops/target_end.h"
#endif

// The element-wise loops compiled for AVX-512, the sums, the add and the look-up written
// with intrinsics (channel_loops_vector.h over channel_lanes_avx512.h).
#include "ops/channel_loops_isa.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

// The standard headers of the region's code, included before it (target_begin.h):
#include <limits>       // channel_loops_vector.h
#include <type_traits>  // channel_lanes_avx512.h

#define MORLA_TARGET "avx512f,avx512bw,avx512dq,avx512vl"
#include "ops/target_begin.h"
// GCC 12 takes the _mm512_undefined_epi32() inside its own intrinsics for a read of an
// uninitialised value.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include "ops/channel_loops_vector.h"
#include "ops/channel_lanes_avx512.h"

namespace morla::ops::loops {
namespace {
namespace body {
template <>
struct Passes<Avx512> : vector::Passes<Avx512Lanes> {};
}  // namespace body
}  // namespace

#define MORLA_ISA Avx512
MORLA_INSTANTIATE_CHANNEL_LOOPS()
#undef MORLA_ISA
}  // namespace morla::ops::loops

#include "ops/target_end.h"
#endif

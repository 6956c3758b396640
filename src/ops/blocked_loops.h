#pragma once
// The register-blocked loops, written once over a vector type V. Included only by the
// per-ISA files, after their `#pragma GCC target`, so that every function here is compiled
// for that ISA and stays local to its file (V is a type of the file's anonymous namespace).
//
// V provides: reg, kLanes, kPositions, zero(), load(p), broadcast(x), store(p, r),
// store_partial(p, r, count), sub(a, b), min(a, b), max(a, b) (signed 32-bit),
// mul_add_words(acc, a, b) and, for each packing it serves, dot<Packing>(acc, x, w).
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "ops/blocked_kernels.h"

namespace morla::ops::kernels {
namespace {  // each per-ISA file gets its own copy

constexpr size_t smaller(size_t a, size_t b) { return a < b ? a : b; }

inline bool within_16_bits(const int32_t* a, size_t count) {
  for (size_t k = 0; k < count; ++k)
    if (a[k] < -32768 || a[k] > 32767) return false;
  return true;
}

template <class V, size_t NV, size_t P>
[[gnu::always_inline]] inline void clear(typename V::reg (&acc)[P][NV]) {
#pragma GCC unroll 32
  for (size_t p = 0; p < P; ++p)
#pragma GCC unroll 4
    for (size_t v = 0; v < NV; ++v) acc[p][v] = V::zero();
}

// NV vectors from consecutive words at `w`.
template <class V, size_t NV>
[[gnu::always_inline]] inline void load_vectors(const uint32_t* w, typename V::reg (&out)[NV]) {
#pragma GCC unroll 4
  for (size_t v = 0; v < NV; ++v) out[v] = V::load(w + v * V::kLanes);
}

// Output positions one block keeps in registers for NV vectors of filters: four vectors
// take half as many positions, so that the accumulators still fit the register file.
template <class V, size_t NV>
constexpr size_t kBlockPositions = NV == 4 ? V::kPositions / 2 : V::kPositions;

// The P x NV sums of a block to the output at `out` (position p at p * y_step), less the
// correction and clipped when the output asks for it; lanes at or past `width` are left.
template <class V, size_t NV, size_t P>
[[gnu::always_inline]] inline void write_out(typename V::reg (&acc)[P][NV], const PackedOutput& o,
                                             const uint32_t* correction, uint32_t* out,
                                             size_t width) {
  if (correction) {
    typename V::reg less[NV];
    load_vectors<V, NV>(correction, less);
#pragma GCC unroll 32
    for (size_t p = 0; p < P; ++p)
#pragma GCC unroll 4
      for (size_t v = 0; v < NV; ++v) acc[p][v] = V::sub(acc[p][v], less[v]);
  }
  if (o.clip) {
    const typename V::reg low = V::broadcast(static_cast<uint32_t>(o.low));
    const typename V::reg high = V::broadcast(static_cast<uint32_t>(o.high));
#pragma GCC unroll 32
    for (size_t p = 0; p < P; ++p)
#pragma GCC unroll 4
      for (size_t v = 0; v < NV; ++v) acc[p][v] = V::min(V::max(acc[p][v], low), high);
  }
  // Unrolled throughout, so that the accumulators stay in registers.
#pragma GCC unroll 32
  for (size_t p = 0; p < P; ++p)
#pragma GCC unroll 4
    for (size_t v = 0; v < NV; ++v) {
      uint32_t* at = out + p * o.y_step + v * V::kLanes;
      if (width >= (v + 1) * V::kLanes)
        V::store(at, acc[p][v]);
      else if (width > v * V::kLanes)
        V::store_partial(at, acc[p][v], width - v * V::kLanes);
    }
}

// One block: `P` consecutive output positions along y (from oy0) by NV vectors of filters
// (from f0, `width` of them real), summed over every tap and channel group with the
// accumulators in registers, then written out.
template <class V, Packing K, size_t NV, size_t P>
[[gnu::noinline]] void correlation_block(const PackedCorrelation& c, const uint32_t* kernel,
                                         size_t ox, size_t oy0, size_t f0, size_t width) {
  typename V::reg acc[P][NV];
  clear<V, NV, P>(acc);
  const size_t groups = c.groups, row_step = c.image_y * groups,
               position_step = c.stride_y * groups;
  const uint32_t* origin = c.image + (ox * c.stride_x * c.image_y + oy0 * c.stride_y) * groups;
  const uint32_t* w = kernel;
  for (size_t t = 0; t < c.kx; ++t)
    for (size_t u = 0; u < c.ky; ++u) {
      const uint32_t* pixel = origin + t * row_step + u * groups;
      for (size_t g = 0; g < groups; ++g, w += NV * V::kLanes) {
        typename V::reg weights[NV];
        load_vectors<V, NV>(w, weights);
#pragma GCC unroll 32
        for (size_t p = 0; p < P; ++p) {
          const typename V::reg x = V::broadcast(pixel[p * position_step + g]);
#pragma GCC unroll 4
          for (size_t v = 0; v < NV; ++v) acc[p][v] = V::template dot<K>(acc[p][v], x, weights[v]);
        }
      }
    }
  write_out<V, NV, P>(acc, c.out, c.correction ? c.correction + f0 : nullptr,
                      c.out.data + ox * c.out.x_step + oy0 * c.out.y_step + f0, width);
}

template <class V, Packing K, size_t NV, size_t... P>
constexpr auto correlation_blocks(std::index_sequence<P...>) {
  using Block = void (*)(const PackedCorrelation&, const uint32_t*, size_t, size_t, size_t, size_t);
  return std::array<Block, sizeof...(P)>{&correlation_block<V, K, NV, P + 1>...};
}

template <class V, Packing K, size_t NV>
void correlate(const PackedCorrelation& c) {
  constexpr size_t block = NV * V::kLanes, positions = kBlockPositions<V, NV>;
  static constexpr auto blocks =
      correlation_blocks<V, K, NV>(std::make_index_sequence<positions>{});
  const size_t per_block = c.kx * c.ky * c.groups * block;
  for (size_t f0 = 0, fb = 0; f0 < c.filters; f0 += block, ++fb) {
    const size_t width = smaller(block, c.filters - f0);
    const uint32_t* kernel = c.kernel + fb * per_block;
    for (size_t ox = 0; ox < c.out_x; ++ox)
      for (size_t oy0 = 0; oy0 < c.out_y; oy0 += positions)
        blocks[smaller(positions, c.out_y - oy0) - 1](c, kernel, ox, oy0, f0, width);
  }
}

template <class V, Packing K>
void correlate_packed(const PackedCorrelation& c) {
  if (c.vectors == 1)
    correlate<V, K, 1>(c);
  else if constexpr (V::kLanes == 16) {
    if (c.vectors == 4)
      correlate<V, K, 4>(c);
    else
      correlate<V, K, 2>(c);
  } else {
    correlate<V, K, 2>(c);
  }
}

// Depthwise: P positions by NV vectors of channels; each lane its own channel.
template <class V, size_t NV, size_t P>
[[gnu::noinline]] void depthwise_block(const PackedDepthwise& d, size_t c0, size_t ox, size_t oy0,
                                       size_t width) {
  typename V::reg acc[P][NV];
  clear<V, NV, P>(acc);
  const size_t groups = d.groups, row_step = d.image_y * groups,
               position_step = d.stride_y * groups;
  const uint32_t* origin = d.image + (ox * d.stride_x * d.image_y + oy0 * d.stride_y) * groups + c0;
  for (size_t t = 0; t < d.kx; ++t)
    for (size_t u = 0; u < d.ky; ++u) {
      const uint32_t* pixel = origin + t * row_step + u * groups;
      typename V::reg weights[NV];
      load_vectors<V, NV>(d.kernel + (t * d.ky + u) * groups + c0, weights);
#pragma GCC unroll 32
      for (size_t p = 0; p < P; ++p)
#pragma GCC unroll 2
        for (size_t v = 0; v < NV; ++v)
          acc[p][v] = V::mul_add_words(
              acc[p][v], V::load(pixel + p * position_step + v * V::kLanes), weights[v]);
    }
  write_out<V, NV, P>(acc, d.out, nullptr, d.out.data + ox * d.out.x_step + oy0 * d.out.y_step + c0,
                      width);
}

template <class V, size_t NV, size_t... P>
constexpr auto depthwise_blocks(std::index_sequence<P...>) {
  using Block = void (*)(const PackedDepthwise&, size_t, size_t, size_t, size_t);
  return std::array<Block, sizeof...(P)>{&depthwise_block<V, NV, P + 1>...};
}

template <class V, size_t NV>
void depthwise_with(const PackedDepthwise& d) {
  constexpr size_t block = NV * V::kLanes;
  static constexpr auto blocks = depthwise_blocks<V, NV>(std::make_index_sequence<V::kPositions>{});
  for (size_t c0 = 0; c0 < d.channels; c0 += block) {
    const size_t width = smaller(block, d.channels - c0);
    for (size_t ox = 0; ox < d.out_x; ++ox)
      for (size_t oy0 = 0; oy0 < d.out_y; oy0 += V::kPositions)
        blocks[smaller(V::kPositions, d.out_y - oy0) - 1](d, c0, ox, oy0, width);
  }
}

template <class V>
void depthwise(const PackedDepthwise& d) {
  if (d.groups % (2 * V::kLanes) == 0)
    depthwise_with<V, 2>(d);
  else
    depthwise_with<V, 1>(d);
}

}  // namespace
}  // namespace morla::ops::kernels

#pragma once
// The register-blocked loops, written once over a vector type V. Included only by the
// per-ISA files, after their `#pragma GCC target`, so that every function here is compiled
// for that ISA and stays local to its file (V is a type of the file's anonymous namespace).
//
// V provides: reg, kLanes, kPositions, zero(), load(p), broadcast(x), store(p, r),
// mul_add_words(acc, a, b) and, for each packing it serves, dot<Packing>(acc, x, w).
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "ops/blocked_kernels.h"

namespace morla::ops::kernels {
namespace {  // each per-ISA file gets its own copy

constexpr size_t smaller(size_t a, size_t b) { return a < b ? a : b; }

template <class V, size_t NV, size_t P>
[[gnu::always_inline]] inline void clear(typename V::reg (&acc)[P][NV]) {
#pragma GCC unroll 32
  for (size_t p = 0; p < P; ++p)
#pragma GCC unroll 2
    for (size_t v = 0; v < NV; ++v) acc[p][v] = V::zero();
}

// The P x NV accumulators to `tile`, position after position.
template <class V, size_t NV, size_t P>
[[gnu::always_inline]] inline void store_all(const typename V::reg (&acc)[P][NV], uint32_t* tile) {
#pragma GCC unroll 32
  for (size_t p = 0; p < P; ++p)
#pragma GCC unroll 2
    for (size_t v = 0; v < NV; ++v) V::store(tile + (p * NV + v) * V::kLanes, acc[p][v]);
}

// One block: `P` consecutive output positions along y (from oy0) by NV vectors of filters,
// summed over every tap and channel group with the accumulators in registers. Writes the
// P x (NV * lanes) sums to `tile`.
template <class V, Packing K, size_t NV, size_t P>
[[gnu::noinline]] void correlation_block(const PackedCorrelation& c, const uint32_t* kernel,
                                         size_t ox, size_t oy0, uint32_t* tile) {
  typename V::reg acc[P][NV];
  clear<V, NV, P>(acc);
  const size_t groups = c.groups, row_step = c.image_y * groups, position_step = c.stride_y * groups;
  const uint32_t* origin = c.image + (ox * c.stride_x * c.image_y + oy0 * c.stride_y) * groups;
  const uint32_t* w = kernel;
  for (size_t t = 0; t < c.kx; ++t)
    for (size_t u = 0; u < c.ky; ++u) {
      const uint32_t* pixel = origin + t * row_step + u * groups;
      for (size_t g = 0; g < groups; ++g, w += NV * V::kLanes) {
        typename V::reg weights[NV];
#pragma GCC unroll 2
        for (size_t v = 0; v < NV; ++v) weights[v] = V::load(w + v * V::kLanes);
#pragma GCC unroll 32
        for (size_t p = 0; p < P; ++p) {
          const typename V::reg x = V::broadcast(pixel[p * position_step + g]);
#pragma GCC unroll 2
          for (size_t v = 0; v < NV; ++v) acc[p][v] = V::template dot<K>(acc[p][v], x, weights[v]);
        }
      }
    }
  store_all<V, NV, P>(acc, tile);
}

template <class V, Packing K, size_t NV, size_t... P>
constexpr auto correlation_blocks(std::index_sequence<P...>) {
  using Block = void (*)(const PackedCorrelation&, const uint32_t*, size_t, size_t, uint32_t*);
  return std::array<Block, sizeof...(P)>{&correlation_block<V, K, NV, P + 1>...};
}

template <class V, Packing K, size_t NV>
void correlate(const PackedCorrelation& c) {
  constexpr size_t block = NV * V::kLanes;
  static constexpr auto blocks =
      correlation_blocks<V, K, NV>(std::make_index_sequence<V::kPositions>{});
  alignas(64) uint32_t tile[V::kPositions * block];
  const size_t per_block = c.kx * c.ky * c.groups * block;
  for (size_t f0 = 0, fb = 0; f0 < c.filters; f0 += block, ++fb) {
    const size_t width = smaller(block, c.filters - f0);
    const uint32_t* kernel = c.kernel + fb * per_block;
    for (size_t ox = 0; ox < c.out_x; ++ox)
      for (size_t oy0 = 0; oy0 < c.out_y; oy0 += V::kPositions) {
        const size_t count = smaller(V::kPositions, c.out_y - oy0);
        blocks[count - 1](c, kernel, ox, oy0, tile);
        for (size_t p = 0; p < count; ++p) {
          uint32_t* out = c.out + (ox * c.out_y + oy0 + p) * c.filters + f0;
          const uint32_t* sums = tile + p * block;
          if (c.correction)
            for (size_t f = 0; f < width; ++f) out[f] = sums[f] - c.correction[f0 + f];
          else
            for (size_t f = 0; f < width; ++f) out[f] = sums[f];
        }
      }
  }
}

template <class V, Packing K>
void correlate_packed(const PackedCorrelation& c) {
  if (c.vectors == 1) correlate<V, K, 1>(c);
  else correlate<V, K, 2>(c);
}

// Depthwise: P positions by NV vectors of channels; each lane its own channel.
template <class V, size_t NV, size_t P>
[[gnu::noinline]] void depthwise_block(const PackedDepthwise& d, size_t c0, size_t ox,
                                       size_t oy0, uint32_t* tile) {
  typename V::reg acc[P][NV];
  clear<V, NV, P>(acc);
  const size_t groups = d.groups, row_step = d.image_y * groups, position_step = d.stride_y * groups;
  const uint32_t* origin = d.image + (ox * d.stride_x * d.image_y + oy0 * d.stride_y) * groups + c0;
  for (size_t t = 0; t < d.kx; ++t)
    for (size_t u = 0; u < d.ky; ++u) {
      const uint32_t* pixel = origin + t * row_step + u * groups;
      const uint32_t* w = d.kernel + (t * d.ky + u) * groups + c0;
      typename V::reg weights[NV];
#pragma GCC unroll 2
      for (size_t v = 0; v < NV; ++v) weights[v] = V::load(w + v * V::kLanes);
#pragma GCC unroll 32
      for (size_t p = 0; p < P; ++p)
#pragma GCC unroll 2
        for (size_t v = 0; v < NV; ++v)
          acc[p][v] = V::mul_add_words(acc[p][v], V::load(pixel + p * position_step + v * V::kLanes),
                                       weights[v]);
    }
  store_all<V, NV, P>(acc, tile);
}

template <class V, size_t NV, size_t... P>
constexpr auto depthwise_blocks(std::index_sequence<P...>) {
  using Block = void (*)(const PackedDepthwise&, size_t, size_t, size_t, uint32_t*);
  return std::array<Block, sizeof...(P)>{&depthwise_block<V, NV, P + 1>...};
}

template <class V, size_t NV>
void depthwise_with(const PackedDepthwise& d) {
  constexpr size_t block = NV * V::kLanes;
  static constexpr auto blocks = depthwise_blocks<V, NV>(std::make_index_sequence<V::kPositions>{});
  alignas(64) uint32_t tile[V::kPositions * block];
  for (size_t c0 = 0; c0 < d.channels; c0 += block) {
    const size_t width = smaller(block, d.channels - c0);
    for (size_t ox = 0; ox < d.out_x; ++ox)
      for (size_t oy0 = 0; oy0 < d.out_y; oy0 += V::kPositions) {
        const size_t count = smaller(V::kPositions, d.out_y - oy0);
        blocks[count - 1](d, c0, ox, oy0, tile);
        for (size_t p = 0; p < count; ++p) {
          uint32_t* out = d.out + (ox * d.out_y + oy0 + p) * d.channels + c0;
          for (size_t f = 0; f < width; ++f) out[f] = tile[p * block + f];
        }
      }
  }
}

template <class V>
void depthwise(const PackedDepthwise& d) {
  if (d.groups % (2 * V::kLanes) == 0) depthwise_with<V, 2>(d);
  else depthwise_with<V, 1>(d);
}

}  // namespace
}  // namespace morla::ops::kernels

#pragma once
// The element-wise loops that the compilers do not turn into good vector code by themselves,
// written once over a set of vector operations V on int32 lanes: Avx2Lanes
// (channel_loops_avx2.cpp) or Avx512Lanes (channel_lanes_avx512.h). V provides
//   reg, mask, kLanes; set1, load, store, add;
//   first(n): the first n lanes, n < kLanes; load_first (0 in the other lanes), store_first;
//   add_clamped(a, b, low, high): clamp(a + b, low, high), the sum saturated to int32;
//   at_most(k, last): the lanes where k <= last, unsigned; all_lanes(), both(m, n), every(m);
//   only(m, v): v in the lanes of m, 0 in the others;
//   pairs(v, p): lanes 2j and 2j + 1 as p[j] (low lane in the low half).
// Included after V inside the instruction set's target region, or, for the tests, over
// portable versions of the same intrinsics.
#include <cstddef>
#include <cstdint>

#include "ops/channel_loops_body.h"

namespace morla::ops::loops {
namespace {  // each file that includes this one compiles its own copy
namespace vector {

// The sums of `Vectors` vectors of channels held in registers over all the rows.
template <class V, int Vectors>
void sum_block(int32_t* sums, const int32_t* values, size_t rows, size_t n, typename V::reg low,
               typename V::reg high) {
  typename V::reg acc[Vectors];
  for (int v = 0; v < Vectors; ++v) acc[v] = V::load(sums + V::kLanes * v);
  for (size_t r = 0; r < rows; ++r, values += n)
    for (int v = 0; v < Vectors; ++v)
      acc[v] = V::add_clamped(acc[v], V::load(values + V::kLanes * v), low, high);
  for (int v = 0; v < Vectors; ++v) V::store(sums + V::kLanes * v, acc[v]);
}

// The channels from c on in blocks of `Vectors` vectors, then of halves of that; returns
// where the whole vectors end.
template <class V, int Vectors>
size_t sum_blocks(int32_t* sums, const int32_t* values, size_t rows, size_t n, size_t c,
                  typename V::reg low, typename V::reg high) {
  for (; n - c >= Vectors * V::kLanes; c += Vectors * V::kLanes)
    sum_block<V, Vectors>(sums + c, values + c, rows, n, low, high);
  if constexpr (Vectors > 1) return sum_blocks<V, Vectors / 2>(sums, values, rows, n, c, low, high);
  return c;
}

// The passes of channel_loops_body.h over the lanes V: an instruction set's file
// specialises body::Passes<Isa> as derived from Passes<V>.
template <class V>
struct Passes {
  using reg = typename V::reg;
  using mask = typename V::mask;

  // Up to 8 vectors of sums in registers, the last channels through masked lanes.
  static void sum(int32_t* sums, const int32_t* values, size_t rows, size_t n, int32_t low,
                  int32_t high) {
    const reg lows = V::set1(low), highs = V::set1(high);
    const size_t c = sum_blocks<V, 8>(sums, values, rows, n, 0, lows, highs);
    if (c == n) return;
    const mask lanes = V::first(n - c);
    reg acc = V::load_first(sums + c, lanes);
    for (size_t r = 0; r < rows; ++r)
      acc = V::add_clamped(acc, V::load_first(values + r * n + c, lanes), lows, highs);
    V::store_first(sums + c, lanes, acc);
  }

  // The end of each row through masked lanes.
  static void add(const int32_t* x, const int32_t* y, size_t count, size_t period, int32_t low,
                  int32_t high, int32_t* out) {
    const reg lows = V::set1(low), highs = V::set1(high);
    for (size_t start = 0; start < count; start += period) {
      const size_t width = count - start < period ? count - start : period;
      const int32_t* row = x + start;
      int32_t* target = out + start;
      size_t k = 0;
      for (; k + V::kLanes <= width; k += V::kLanes)
        V::store(target + k, V::add_clamped(V::load(row + k), V::load(y + k), lows, highs));
      if (k == width) continue;
      const mask lanes = V::first(width - k);
      const reg sum =
          V::add_clamped(V::load_first(row + k, lanes), V::load_first(y + k, lanes), lows, highs);
      V::store_first(target + k, lanes, sum);
    }
  }

  // The gathers are slower than plain loads on the AMD cores (and on Intel's since their
  // microcode mitigation): the vector checks the indices, the table reads stay scalar.
  static bool look_up(const int32_t* table, int64_t half, const int32_t* index, size_t count,
                      int32_t* out) {
    // As the portable loop: indices moved to [0, 2 * half), any other is outside and reads
    // entry 0 instead.
    const auto offset = static_cast<uint32_t>(half);
    const reg offsets = V::set1(static_cast<int32_t>(offset));
    const reg last = V::set1(static_cast<int32_t>(2 * offset - 1));
    mask inside_all = V::all_lanes();
    size_t i = 0;
    for (; i + V::kLanes <= count; i += V::kLanes) {
      const reg k = V::add(V::load(index + i), offsets);
      const mask inside = V::at_most(k, last);
      inside_all = V::both(inside_all, inside);
      uint64_t pairs[V::kLanes / 2];
      V::pairs(V::only(inside, k), pairs);
      for (size_t p = 0; p < V::kLanes / 2; ++p) {
        out[i + 2 * p] = table[static_cast<uint32_t>(pairs[p])];
        out[i + 2 * p + 1] = table[pairs[p] >> 32];
      }
    }
    const bool tail_inside =
        body::Passes<Portable>::look_up(table, half, index + i, count - i, out + i);
    return tail_inside && V::every(inside_all);
  }
};

}  // namespace vector
}  // namespace
}  // namespace morla::ops::loops

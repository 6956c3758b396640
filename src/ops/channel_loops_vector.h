#pragma once
// The element-wise loops that the compilers do not turn into good vector code by themselves,
// written once over a set of vector operations V on int32 lanes: Avx2Lanes
// (channel_loops_avx2.cpp) or Avx512Lanes (channel_lanes_avx512.h). V provides
//   reg, mask, kLanes; set1, load, store, add;
//   first(n): the first n lanes, n < kLanes; load_first (0 in the other lanes), store_first;
//   add_clamped(a, b, low, high): clamp(a + b, low, high), the sum saturated to int32;
//   at_most(k, last): the lanes where k <= last, unsigned; all_lanes(), both(m, n), every(m);
//   only(m, v): v in the lanes of m, 0 in the others;
//   pairs(v, p): lanes 2j and 2j + 1 as p[j] (low lane in the low half);
//   subtract, min, max, multiply (low 32 bits), bits_and; shift_right (arithmetic) and
//   shift_left by each lane's count in 0..31, shift_right(v, n) by n in every lane;
//   greater(a, b): the lanes where a > b; select(m, a, b): a in the lanes of m, b in the others;
//   store_narrow(p, v): the vectors v[0..4 / sizeof(Out)) in a row as Out values, each lane
//   truncated as static_cast does, for Out int8, uint8, int16 (int32 stores whole vectors);
//   store_saturated(p, v): the same, each lane clipped to the range of Out instead.
// Included after V inside the instruction set's target region, or, for the tests, over
// portable versions of the same intrinsics.
#include <cstddef>
#include <cstdint>
#include <limits>

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

// The output scale of body::Scale (Scale::apply<Left, Clamp> lane by lane) for the vector
// of channels from c on. Without left shifts:
//   with Saturates, the clip to the stage's bounds is left to the store, the bounds being
//   those of the output type;
//   with Rounds, every channel rounds half up by a right shift of 1 or more: with
//   q = product >> (right - 1), (q >> 1) + (q & 1) is q - (q >> 1), which needs neither
//   `right` nor `round`.
// Built once per block of channels and applied to a tile of pixels (scale_pass): built for
// every vector, its parameters cost four loads or more per vector of input, and the AVX2
// pass to 8 bits took 1.6 times as long with its data in the L1 cache (AMD Zen 3). Kept
// (in registers, on AVX2 partly on the stack), the arithmetic bounds the pass: about
// 0.12 ns per element there, 0.14 from memory.
template <class V, bool Left, bool Clamp, bool Saturates, bool Rounds>
struct ScaledLanes {
  using reg = typename V::reg;
  reg below, above, scale, right, half, round, left, shift_below, shift_above;
  reg acc_low, acc_high, low, high;

  ScaledLanes() = default;
  ScaledLanes(const body::Scale& s, size_t c)
      : below(V::load(s.below + c)),
        above(V::load(s.above + c)),
        scale(V::load(s.scale + c)),
        right(Rounds ? reg{} : V::load(s.shift.right + c)),
        half(V::load(s.shift.half + c)),
        round(Rounds ? reg{} : V::load(s.shift.round + c)),
        left(Left ? V::load(s.shift.left + c) : reg{}),
        shift_below(Left ? V::load(s.shift.below + c) : reg{}),
        shift_above(Left ? V::load(s.shift.above + c) : reg{}),
        acc_low(V::set1(s.low)),
        acc_high(V::set1(s.high)),
        low(V::set1(s.shift.low)),
        high(V::set1(s.shift.high)) {}

  reg operator()(reg x) const {
    reg product;
    if constexpr (Clamp) {
      product = V::multiply(V::min(V::max(x, below), above), scale);
    } else {
      product = V::select(V::greater(x, above), acc_high,
                          V::select(V::greater(below, x), acc_low, V::multiply(x, scale)));
    }
    reg t;
    if constexpr (Rounds) {
      const reg q = V::shift_right(product, half);
      t = V::subtract(q, V::shift_right(q, 1));
    } else {
      t = V::add(V::shift_right(product, right), V::bits_and(V::shift_right(product, half), round));
    }
    if constexpr (Saturates) return t;
    // The stage's bounds are ordered (low <= high): the clip as a max and a min.
    if constexpr (!Left) return V::min(V::max(t, low), high);
    return V::select(V::greater(t, shift_above), high,
                     V::select(V::greater(shift_below, t), low, V::shift_left(t, left)));
  }
};

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

  // The output scale alone in whole vectors, 4 / sizeof(Out) of them per store; the end of
  // each row lane by lane.
  template <unsigned Stages, class Out>
  static void scale(const int32_t* in, size_t count, size_t channels, const NeuronStages& n,
                    Out* out) {
    const body::Scale s(n.out);
    if constexpr ((Stages & body::kScaleLeft) == 0) {
      const ShiftStage& shift = n.out.shift;
      bool rounds = true;
      for (size_t c = 0; c < shift.right.size(); ++c)
        rounds = rounds && shift.right[c] >= 1 && shift.half[c] == shift.right[c] - 1 &&
                 shift.round[c] == 1;
      const bool full = shift.low == std::numeric_limits<Out>::min() &&
                        shift.high == std::numeric_limits<Out>::max();
      if (full && rounds) return scale_pass<Stages, true, true>(in, count, channels, s, out);
      if (full) return scale_pass<Stages, true, false>(in, count, channels, s, out);
      if (rounds) return scale_pass<Stages, false, true>(in, count, channels, s, out);
    }
    scale_pass<Stages, false, false>(in, count, channels, s, out);
  }

  // Rows of `channels` from `in` on (the last one may be shorter), as ScaledLanes says, in
  // tiles of whole rows (some kTileBytes of inputs, which stay in the L1 cache): each block
  // of `step` channels builds its lanes once and runs down the tile's rows.
  template <unsigned Stages, bool Saturates, bool Rounds, class Out>
  static void scale_pass(const int32_t* in, size_t count, size_t channels, const body::Scale& s,
                         Out* out) {
    constexpr bool left = (Stages & body::kScaleLeft) != 0;
    constexpr bool clamp = (Stages & body::kScaleClamp) != 0;
    constexpr size_t group = sizeof(int32_t) / sizeof(Out), step = group * V::kLanes;
    constexpr size_t kTileBytes = 16 * 1024;
    using Lanes = ScaledLanes<V, left, clamp, Saturates, Rounds>;
    if (channels == 0) return;  // no elements
    const size_t rows = count / channels, blocks = channels / step * step;
    const size_t tile = channels * sizeof(int32_t) >= kTileBytes
                            ? 1
                            : kTileBytes / (channels * sizeof(int32_t));
    for (size_t first = 0; first < rows; first += tile) {
      const size_t end = rows - first < tile ? rows : first + tile;
      for (size_t c = 0; c < blocks; c += step) {
        Lanes lanes[group];
        for (size_t g = 0; g < group; ++g) lanes[g] = Lanes(s, c + g * V::kLanes);
        for (size_t r = first; r < end; ++r) {
          const int32_t* row = in + r * channels + c;
          reg v[group];
          for (size_t g = 0; g < group; ++g) v[g] = lanes[g](V::load(row + g * V::kLanes));
          store<Saturates>(out + r * channels + c, v);
        }
      }
      for (size_t r = first; r < end; ++r)
        for (size_t c = blocks; c < channels; ++c)
          out[r * channels + c] =
              static_cast<Out>(s.template apply<left, clamp>(in[r * channels + c], c));
    }
    // The last, shorter row.
    const size_t start = rows * channels;
    size_t c = 0;
    for (; c + step <= count - start; c += step) {
      reg v[group];
      for (size_t g = 0; g < group; ++g)
        v[g] = Lanes(s, c + g * V::kLanes)(V::load(in + start + c + g * V::kLanes));
      store<Saturates>(out + start + c, v);
    }
    for (; start + c < count; ++c)
      out[start + c] = static_cast<Out>(s.template apply<left, clamp>(in[start + c], c));
  }

  // `4 / sizeof(Out)` vectors of ScaledLanes' results as Out values. An int32 result stores
  // whole vectors: with Saturates its bounds are the whole int32 range, which clips nothing,
  // and without it ScaledLanes has clipped each lane to the stage's bounds.
  template <bool Saturates, class Out, size_t Group>
  static void store(Out* p, const reg (&v)[Group]) {
    if constexpr (Group == 1)
      V::store(p, v[0]);
    else if constexpr (Saturates)
      V::store_saturated(p, v);
    else
      V::store_narrow(p, v);
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

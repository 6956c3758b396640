#pragma once
// The bodies of the loops declared in channel_loops_isa.h: plain loops over raw pointers,
// the per-channel stages read as arrays next to the values, so that the compiler turns the
// inner loop over the channels into vector code for the file's instruction set. Included
// by each channel_loops_*.cpp inside its target region.
#include <vector>

#include "ops/channel_loops_isa.h"

// The loops read their stage arrays and write their outputs through different pointers,
// which never overlap: vectorise without alias checks.
#if defined(__clang__)
#define MORLA_NO_ALIAS _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define MORLA_NO_ALIAS _Pragma("GCC ivdep")
#else
#define MORLA_NO_ALIAS
#endif

namespace morla::ops::loops {

// Internal to each file that includes this one: every helper is compiled for that file's
// instruction set alone, never shared with another's at link time.
namespace {
namespace body {

// The stage's arrays as plain pointers, for the loops.
struct Shift {
  const int32_t *right, *half, *round, *left, *below, *above;
  int32_t low, high;
  explicit Shift(const ShiftStage& s)
      : right(s.right.data()),
        half(s.half.data()),
        round(s.round.data()),
        left(s.left.data()),
        below(s.below.data()),
        above(s.above.data()),
        low(s.low),
        high(s.high) {}
  // With Right or Left false, the stage has no right or no left shift.
  template <bool Right = true, bool Left = true>
  int32_t apply(int32_t x, size_t c) const {
    const int32_t t = Right ? (x >> right[c]) + ((x >> half[c]) & round[c]) : x;
    if constexpr (!Left) return t > high ? high : (t < low ? low : t);  // below, above: the clip
    const int32_t shifted = static_cast<int32_t>(static_cast<uint32_t>(t) << left[c]);
    return t > above[c] ? high : (t < below[c] ? low : shifted);
  }
  int32_t operator()(int32_t x, size_t c) const { return apply(x, c); }
};

inline bool any(const std::vector<int32_t>& values) {
  for (const int32_t v : values)
    if (v != 0) return true;
  return false;
}

template <bool Right, bool Left, class In, class Out>
inline void shift_pass(const In* __restrict in, size_t count, size_t channels, const Shift& shift,
                       Out* __restrict out) {
  for (size_t start = 0; start < count; start += channels) {
    const size_t width = count - start < channels ? count - start : channels;
    MORLA_NO_ALIAS
    for (size_t c = 0; c < width; ++c)
      out[start + c] = static_cast<Out>(shift.template apply<Right, Left>(in[start + c], c));
  }
}

struct Scale {
  const int32_t *scale, *below, *above;
  int32_t low, high;
  Shift shift;
  explicit Scale(const ScaleStage& s)
      : scale(s.scale.data()),
        below(s.below.data()),
        above(s.above.data()),
        low(s.acc_low),
        high(s.acc_high),
        shift(s.shift) {}
  // With Left false, the shift has no left shift (the usual case: scales shift right);
  // with Clamp, the stage clamps its input (ScaleStage::clamps_input).
  template <bool Left = true, bool Clamp = false>
  int32_t apply(int32_t x, size_t c) const {
    if constexpr (Clamp) {
      const int32_t in = x < below[c] ? below[c] : (x > above[c] ? above[c] : x);
      return shift.template apply<true, Left>(in * scale[c], c);
    }
    const int32_t product =
        static_cast<int32_t>(static_cast<uint32_t>(x) * static_cast<uint32_t>(scale[c]));
    return shift.template apply<true, Left>(x > above[c] ? high : (x < below[c] ? low : product),
                                            c);
  }
  int32_t operator()(int32_t x, size_t c) const { return apply(x, c); }
};

// Stages present, and how the output scale runs.
constexpr unsigned kBias = 1, kRelu = 2, kLut = 4, kScale = 8, kScaleLeft = 16, kScaleClamp = 32;

template <unsigned Stages, class Out>
inline void neuron_pass(const int32_t* __restrict in, size_t count, size_t channels,
                        const NeuronStages& n, Out* __restrict out) {
  const int32_t* bias = n.bias.data();
  const int32_t* bias_below = n.bias_below.data();
  const int32_t* bias_above = n.bias_above.data();
  const int32_t* relu_max = n.relu_max.data();
  const int32_t* lut = n.lut + 1024;
  const Scale index(n.lut_index), scale(n.out);
  const auto stages = [&](int32_t v, size_t c) {
    if constexpr ((Stages & kBias) != 0)
      v = v > bias_above[c] ? INT32_MAX : (v < bias_below[c] ? INT32_MIN : v + bias[c]);
    if constexpr ((Stages & kRelu) != 0) {
      v = v < relu_max[c] ? v : relu_max[c];
      v = v > 0 ? v : 0;
    }
    if constexpr ((Stages & kLut) != 0) v = lut[index(v, c)];
    if constexpr ((Stages & kScale) != 0)
      v = scale.template apply<(Stages & kScaleLeft) != 0, (Stages & kScaleClamp) != 0>(v, c);
    return v;
  };
  for (size_t start = 0; start < count; start += channels) {
    const int32_t* __restrict row = in + start;
    Out* __restrict target = out + start;
    const size_t width = count - start < channels ? count - start : channels;
    MORLA_NO_ALIAS
    for (size_t c = 0; c < width; ++c) target[c] = static_cast<Out>(stages(row[c], c));
  }
}

// Signed 32-bit addition saturated to int32.
inline int32_t add_saturated(int32_t a, int32_t b) {
  const int32_t sum = static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
  const bool overflow = ((a ^ sum) & (b ^ sum)) < 0;
  return overflow ? (a < 0 ? INT32_MIN : INT32_MAX) : sum;
}

// clamp(a + b, low, high) for int32 bounds: the saturated sum clamps like the exact one.
inline int32_t add_clamped(int32_t a, int32_t b, int32_t low, int32_t high) {
  const int32_t sum = add_saturated(a, b);
  return sum < low ? low : (sum > high ? high : sum);
}

// target[c] = combine(target[c], row[c]) for each of `rows` consecutive rows of n values.
template <class T, class Combine>
inline void fold_rows(T* __restrict target, const int32_t* __restrict values, size_t rows, size_t n,
                      Combine combine) {
  for (size_t r = 0; r < rows; ++r) {
    const int32_t* row = values + r * n;
    MORLA_NO_ALIAS
    for (size_t c = 0; c < n; ++c) target[c] = combine(target[c], row[c]);
  }
}

inline int32_t larger(int32_t a, int32_t b) { return a > b ? a : b; }

// target[c] = max(target[c], row[c]) over `rows` consecutive rows of n values, two rows a pass.
inline void fold_row_pairs(int32_t* __restrict target, const int32_t* __restrict values,
                           size_t rows, size_t n) {
  for (; rows >= 2; rows -= 2, values += 2 * n) {
    MORLA_NO_ALIAS
    for (size_t c = 0; c < n; ++c) target[c] = larger(target[c], larger(values[c], values[n + c]));
  }
  if (rows == 1) fold_rows(target, values, 1, n, larger);
}

// The input positions [first, end) of max pooling's window i along `axis`; none when
// end <= first.
struct Positions {
  int64_t first, end;
};
inline Positions window(const PoolAxis& axis, int64_t i) {
  const int64_t start = i * axis.stride;
  const int64_t stop = start + axis.extent < axis.padded ? start + axis.extent : axis.padded;
  const int64_t first = start - axis.pad_before, end = stop - axis.pad_before;
  return {first > 0 ? first : 0, end < axis.size ? end : axis.size};
}

// The loops that an instruction set's file may replace, all at once, with a specialisation
// of its own (channel_loops_vector.h); specialising members of Loops instead makes GCC
// compile the class's other members for the baseline instruction set.
template <class Isa>
struct Passes {
  static void add(const int32_t* __restrict x, const int32_t* __restrict y, size_t count,
                  size_t period, int32_t low, int32_t high, int32_t* __restrict out) {
    for (size_t start = 0; start < count; start += period) {
      const size_t width = count - start < period ? count - start : period;
      MORLA_NO_ALIAS
      for (size_t k = 0; k < width; ++k)
        out[start + k] = add_clamped(x[start + k], y[k], low, high);
    }
  }

  static void sum(int32_t* sums, const int32_t* values, size_t rows, size_t n, int32_t low,
                  int32_t high) {
    fold_rows(sums, values, rows, n,
              [=](int32_t sum, int32_t v) { return add_clamped(sum, v, low, high); });
  }

  // The output scale alone: Stages is kScale with its variants (neuron_rows' cases).
  template <unsigned Stages, class Out>
  static void scale(const int32_t* __restrict in, size_t count, size_t channels,
                    const NeuronStages& n, Out* __restrict out) {
    neuron_pass<Stages>(in, count, channels, n, out);
  }

  // One table read per element: a plain loop beats the vector gathers here.
  [[gnu::optimize("no-tree-vectorize")]] static bool look_up(const int32_t* __restrict table,
                                                             int64_t half,
                                                             const int32_t* __restrict index,
                                                             size_t count,
                                                             int32_t* __restrict out) {
    // Indices moved to [0, 2 * half) in 32-bit unsigned arithmetic: any other is outside.
    const auto offset = static_cast<uint32_t>(half), span = 2 * offset;
    uint32_t outside = 0;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t k = static_cast<uint32_t>(index[i]) + offset;
      outside |= k >= span ? 1u : 0u;
      out[i] = table[k < span ? k : 0];
    }
    return outside == 0;
  }
};

}  // namespace body
}  // namespace

template <class Isa>
template <class In, class Out>
void Loops<Isa>::shift_rows(const In* __restrict in, size_t count, size_t channels,
                            const ShiftStage& s, Out* __restrict out) {
  using namespace body;
  const Shift shift(s);
  const bool right = any(s.right), left = any(s.left);
  if (right && left) return shift_pass<true, true>(in, count, channels, shift, out);
  if (right) return shift_pass<true, false>(in, count, channels, shift, out);
  if (left) return shift_pass<false, true>(in, count, channels, shift, out);
  shift_pass<false, false>(in, count, channels, shift, out);
}

template <class Isa>
template <class Out>
void Loops<Isa>::neuron_rows(const int32_t* in, size_t count, size_t channels,
                             const NeuronStages& n, Out* out) {
  using namespace body;
  const unsigned stages = (n.bias.empty() ? 0 : kBias) | (n.relu_max.empty() ? 0 : kRelu) |
                          (n.lut ? kLut : 0) | (n.scaled ? kScale : 0) |
                          (n.scaled && any(n.out.shift.left) ? kScaleLeft : 0) |
                          (n.scaled && n.out.clamps_input ? kScaleClamp : 0);
  switch (stages) {
#define MORLA_STAGES(s) \
  case s: return neuron_pass<s>(in, count, channels, n, out);
#define MORLA_SCALE_STAGES(s) \
  case s: return Passes<Isa>::template scale<s>(in, count, channels, n, out);
    MORLA_STAGES(0) MORLA_STAGES(1) MORLA_STAGES(2) MORLA_STAGES(3) MORLA_STAGES(4)
    MORLA_STAGES(5) MORLA_STAGES(6) MORLA_STAGES(7) MORLA_SCALE_STAGES(8) MORLA_STAGES(9)
    MORLA_STAGES(10) MORLA_STAGES(11) MORLA_STAGES(12) MORLA_STAGES(13) MORLA_STAGES(14)
    MORLA_STAGES(15) MORLA_SCALE_STAGES(24) MORLA_STAGES(25) MORLA_STAGES(26) MORLA_STAGES(27)
    MORLA_STAGES(28) MORLA_STAGES(29) MORLA_STAGES(30) MORLA_STAGES(31) MORLA_SCALE_STAGES(40)
    MORLA_STAGES(41) MORLA_STAGES(42) MORLA_STAGES(43) MORLA_STAGES(44) MORLA_STAGES(45)
    MORLA_STAGES(46) MORLA_STAGES(47) MORLA_SCALE_STAGES(56) MORLA_STAGES(57) MORLA_STAGES(58)
    MORLA_STAGES(59) MORLA_STAGES(60) MORLA_STAGES(61) MORLA_STAGES(62) MORLA_STAGES(63)
#undef MORLA_SCALE_STAGES
#undef MORLA_STAGES
  }
}

template <class Isa>
template <class A, class B, class Out>
void Loops<Isa>::shifted_add_rows(const A* __restrict a, const B* __restrict b, size_t count,
                                  size_t channels, const ShiftStage& sa, const ShiftStage& sb,
                                  int32_t low, int32_t high, const ShiftStage& so,
                                  Out* __restrict out) {
  const body::Shift shift_a(sa), shift_b(sb), shift_out(so);
  for (size_t start = 0; start < count; start += channels) {
    const size_t width = count - start < channels ? count - start : channels;
    MORLA_NO_ALIAS
    for (size_t c = 0; c < width; ++c) {
      int32_t sum = body::add_saturated(shift_a(a[start + c], c), shift_b(b[start + c], c));
      sum = sum < low ? low : (sum > high ? high : sum);
      out[start + c] = static_cast<Out>(shift_out(sum, c));
    }
  }
}

template <class Isa>
void Loops<Isa>::add_rows(const int32_t* x, const int32_t* y, size_t count, size_t period,
                          int32_t low, int32_t high, int32_t* out) {
  body::Passes<Isa>::add(x, y, count, period, low, high, out);
}

template <class Isa>
bool Loops<Isa>::look_up_rows(const int32_t* table, int64_t half, const int32_t* index,
                              size_t count, int32_t* out) {
  return body::Passes<Isa>::look_up(table, half, index, count, out);
}

template <class Isa>
void Loops<Isa>::sum_rows(int32_t* sums, const int32_t* values, size_t rows, size_t n, int32_t low,
                          int32_t high) {
  body::Passes<Isa>::sum(sums, values, rows, n, low, high);
}

template <class Isa>
void Loops<Isa>::max_pool(const int32_t* __restrict in, size_t n, const PoolAxis& x,
                          const PoolAxis& y, size_t out_x, size_t out_y, int32_t low,
                          int32_t high, int32_t* __restrict out) {
  const bool clamps = low != INT32_MIN || high != INT32_MAX;  // else no value changes
  const size_t x_step = static_cast<size_t>(y.size) * n;  // one position along x
  for (size_t i = 0; i < out_x; ++i) {
    const body::Positions xs = body::window(x, static_cast<int64_t>(i));
    for (size_t j = 0; j < out_y; ++j, out += n) {
      const body::Positions ys = body::window(y, static_cast<int64_t>(j));
      if (xs.end <= xs.first || ys.end <= ys.first) {
        for (size_t c = 0; c < n; ++c) out[c] = low;
        continue;
      }
      // The window's maximum, clamped: clamping keeps the order of values, so the clamped
      // maximum is the maximum of the clamped values. Its rows along y lie next to each
      // other; the first pass takes its first two (the first twice when it has one).
      const auto rows = static_cast<size_t>(ys.end - ys.first);
      const int32_t* block = in + static_cast<size_t>(xs.first) * x_step +
                             static_cast<size_t>(ys.first) * n;
      const size_t taken = rows > 1 ? 2 : 1;
      const int32_t* second = block + (taken - 1) * n;
      MORLA_NO_ALIAS
      for (size_t c = 0; c < n; ++c) out[c] = body::larger(block[c], second[c]);
      body::fold_row_pairs(out, block + taken * n, rows - taken, n);
      for (int64_t p = xs.first + 1; p < xs.end; ++p)
        body::fold_row_pairs(out, block += x_step, rows, n);
      if (clamps) {
        MORLA_NO_ALIAS
        for (size_t c = 0; c < n; ++c)
          out[c] = out[c] < low ? low : (out[c] > high ? high : out[c]);
      }
    }
  }
}

}  // namespace morla::ops::loops

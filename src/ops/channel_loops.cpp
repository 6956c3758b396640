#include "ops/channel_loops.h"

#include <algorithm>
#include <vector>

#include "ops/channel_loops_isa.h"
#include "ops/kernel_path.h"

namespace morla::ops::loops {

namespace {

// Calls the loop `name` of the active path with the arguments given.
#if defined(__x86_64__) && defined(__GNUC__)
#define MORLA_DISPATCH(name, ...)                                                   \
  switch (kernels::active_path()) {                                                 \
    case kernels::KernelPath::avx512:                                               \
    case kernels::KernelPath::avx512_vnni: return Loops<Avx512>::name(__VA_ARGS__); \
    case kernels::KernelPath::avx2: return Loops<Avx2>::name(__VA_ARGS__);          \
    case kernels::KernelPath::portable: break;                                      \
  }                                                                                 \
  return Loops<Portable>::name(__VA_ARGS__)
#else
#define MORLA_DISPATCH(name, ...) return Loops<Portable>::name(__VA_ARGS__)
#endif

// The vector passes of the output scale alone run down tiles of rows a block of channels at
// a time: rows whose channels fill whole blocks (64 int32 lanes at most) need no repeating.
bool scale_alone_in_blocks(const NeuronStages& n, size_t channels) {
  return n.scaled && n.bias.empty() && n.relu_max.empty() && !n.lut && channels % 64 == 0 &&
         kernels::active_path() != kernels::KernelPath::portable;
}

}  // namespace

// Rows of few channels run as rows of several pixels (see repeated()).
#define MORLA_SHIFT_ROWS(In, Out)                                                               \
  void shift_rows(const In* in, size_t count, size_t channels, const ShiftStage& s, Out* out) { \
    if (const size_t r = row_repeats(channels, count); r > 1)                                   \
      return shift_rows(in, count, channels * r, repeated(s, r), out);                          \
    MORLA_DISPATCH(shift_rows, in, count, channels, s, out);                                    \
  }
MORLA_SHIFT_ROWS_TYPES(MORLA_SHIFT_ROWS)
#undef MORLA_SHIFT_ROWS

#define MORLA_NEURON_ROWS(Out)                                                              \
  void neuron_rows(const int32_t* in, size_t count, size_t channels, const NeuronStages& n, \
                   Out* out) {                                                              \
    if (const size_t r = row_repeats(channels, count);                                      \
        r > 1 && !scale_alone_in_blocks(n, channels))                                       \
      return neuron_rows(in, count, channels * r, repeated(n, r), out);                     \
    MORLA_DISPATCH(neuron_rows, in, count, channels, n, out);                               \
  }
MORLA_NEURON_ROWS_TYPES(MORLA_NEURON_ROWS)
#undef MORLA_NEURON_ROWS

#define MORLA_SHIFTED_ADD_ROWS(A, B, Out)                                                       \
  void shifted_add_rows(const A* a, const B* b, size_t count, size_t channels,                  \
                        const ShiftStage& sa, const ShiftStage& sb, int32_t low, int32_t high,  \
                        const ShiftStage& so, Out* out) {                                       \
    if (const size_t r = row_repeats(channels, count); r > 1)                                   \
      return shifted_add_rows(a, b, count, channels * r, repeated(sa, r), repeated(sb, r), low, \
                              high, repeated(so, r), out);                                      \
    MORLA_DISPATCH(shifted_add_rows, a, b, count, channels, sa, sb, low, high, so, out);        \
  }
MORLA_SHIFTED_ADD_TYPES(MORLA_SHIFTED_ADD_ROWS)
#undef MORLA_SHIFTED_ADD_ROWS

void add_rows(const int32_t* x, const int32_t* y, size_t count, size_t period, int32_t low,
              int32_t high, int32_t* out) {
  if (const size_t r = row_repeats(period, count); r > 1) {  // y of several periods
    std::vector<int32_t> longer(period * r);
    for (size_t t = 0; t < r; ++t) std::copy_n(y, period, longer.begin() + t * period);
    return add_rows(x, longer.data(), count, period * r, low, high, out);
  }
  MORLA_DISPATCH(add_rows, x, y, count, period, low, high, out);
}

bool look_up_rows(const int32_t* table, int64_t half, const int32_t* index, size_t count,
                  int32_t* out) {
  // The vector loops take half up to 2^30; the portable loop's unsigned 32-bit index
  // arithmetic holds for every half below 2^31, that of the longest table a shape holds.
  if (half > (int64_t{1} << 30))
    return Loops<Portable>::look_up_rows(table, half, index, count, out);
  MORLA_DISPATCH(look_up_rows, table, half, index, count, out);
}

void sum_rows(int32_t* sums, const int32_t* values, size_t rows, size_t n, int32_t low,
              int32_t high) {
  MORLA_DISPATCH(sum_rows, sums, values, rows, n, low, high);
}

void max_pool(const int32_t* in, size_t n, const PoolAxis& x, const PoolAxis& y, size_t out_x,
              size_t out_y, int32_t low, int32_t high, int32_t* out) {
  MORLA_DISPATCH(max_pool, in, n, x, y, out_x, out_y, low, high, out);
}

}  // namespace morla::ops::loops

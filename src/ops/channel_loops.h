#pragma once
// The element-wise loops of the operations over raw, already validated memory: one pass
// each, reading every input once and writing every output once. Channel-last data, `count`
// elements, per-channel stages indexed by element mod `channels`; `count` need not be a
// multiple of `channels`, so stages repeated over several pixels (repeated() of
// shift_plan.h) give the loops rows long enough for whole vectors. Each loop is compiled for
// the baseline ISA, AVX2 and AVX-512 (channel_loops_*.cpp) and runs on the path
// kernels::active_path() names.
#include <cstddef>
#include <cstdint>

#include "ops/shift_plan.h"

namespace morla::ops::loops {

// The element types each loop comes in, for its declarations, definitions and instances.
#define MORLA_SHIFT_ROWS_TYPES(X) \
  X(int8_t, int32_t) X(uint8_t, int32_t) X(int16_t, int32_t) X(int32_t, int32_t) X(int32_t, int8_t)
#define MORLA_NEURON_ROWS_TYPES(X) X(uint8_t) X(int8_t) X(int16_t) X(int32_t)
#define MORLA_SHIFTED_ADD_OUTS(X, A, B) X(A, B, int8_t) X(A, B, int32_t)
#define MORLA_SHIFTED_ADD_B(X, A)      \
  MORLA_SHIFTED_ADD_OUTS(X, A, int8_t) \
  MORLA_SHIFTED_ADD_OUTS(X, A, uint8_t) MORLA_SHIFTED_ADD_OUTS(X, A, int32_t)
#define MORLA_SHIFTED_ADD_TYPES(X) \
  MORLA_SHIFTED_ADD_B(X, int8_t) MORLA_SHIFTED_ADD_B(X, uint8_t) MORLA_SHIFTED_ADD_B(X, int32_t)

// out = clamp(shift(in)) per channel.
#define MORLA_SHIFT_ROWS(In, Out) \
  void shift_rows(const In* in, size_t count, size_t channels, const ShiftStage& s, Out* out);
MORLA_SHIFT_ROWS_TYPES(MORLA_SHIFT_ROWS)
#undef MORLA_SHIFT_ROWS

// The neuron stages of `n` (see NeuronStages); Out other than int32 needs the output scale.
#define MORLA_NEURON_ROWS(Out)                                                              \
  void neuron_rows(const int32_t* in, size_t count, size_t channels, const NeuronStages& n, \
                   Out* out);
MORLA_NEURON_ROWS_TYPES(MORLA_NEURON_ROWS)
#undef MORLA_NEURON_ROWS

// out = clamp(shift_out(clamp(shift_a(a) + shift_b(b), low, high))): the Add layer's sum.
#define MORLA_SHIFTED_ADD_ROWS(A, B, Out)                                                      \
  void shifted_add_rows(const A* a, const B* b, size_t count, size_t channels,                 \
                        const ShiftStage& sa, const ShiftStage& sb, int32_t low, int32_t high, \
                        const ShiftStage& so, Out* out);
MORLA_SHIFTED_ADD_TYPES(MORLA_SHIFTED_ADD_ROWS)
#undef MORLA_SHIFTED_ADD_ROWS

// out = clamp(x + y, low, high) with y repeated every `period` elements (count need not be a
// multiple of period), the sum saturated to int32: the same as a clamp of the exact sum, low
// and high being int32 values.
void add_rows(const int32_t* x, const int32_t* y, size_t count, size_t period, int32_t low,
              int32_t high, int32_t* out);

// out[i] = table[half + index[i]] for 1 <= half < 2^31 (every table a shape can hold; the
// vector paths take half <= 2^30, longer tables the portable loop); false (out unspecified)
// when an index lies outside [-half, half).
bool look_up_rows(const int32_t* table, int64_t half, const int32_t* index, size_t count,
                  int32_t* out);

// For each of `rows` consecutive rows of n values, in order: sums[c] = clamp(sums[c] +
// row[c], low, high), each sum saturated to int32.
void sum_rows(int32_t* sums, const int32_t* values, size_t rows, size_t n, int32_t low,
              int32_t high);

// The windows of max pooling along one input axis: window i covers the padded positions
// i * stride .. i * stride + extent - 1 below `padded`, padded position p being input position
// p - pad_before; the positions outside 0 .. size - 1 are padding. stride and extent >= 1.
struct PoolAxis {
  int64_t stride, extent, pad_before, padded, size;
};

// Max pooling of an (x.size, y.size, n) input into (out_x, out_y, n): each output the maximum
// of clamp(value, low, high) over its window's input positions, or `low` when the window holds
// padding only (padding never wins, so a window's padding counts as `low`).
void max_pool(const int32_t* in, size_t n, const PoolAxis& x, const PoolAxis& y, size_t out_x,
              size_t out_y, int32_t low, int32_t high, int32_t* out);

}  // namespace morla::ops::loops

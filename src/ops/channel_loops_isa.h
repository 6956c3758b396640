#pragma once
// The loops of channel_loops.h as templates over the instruction set they are compiled for:
// channel_loops_body.h defines them, each channel_loops_*.cpp instantiates them for its own
// tag inside its target region, channel_loops.cpp picks one at run time.
#include <cstddef>
#include <cstdint>

#include "ops/channel_loops.h"
#include "ops/shift_plan.h"

namespace morla::ops::loops {

struct Portable {};
struct Avx2 {};
struct Avx512 {};

template <class Isa>
struct Loops {
  template <class In, class Out>
  static void shift_rows(const In* in, size_t count, size_t channels, const ShiftStage& s,
                         Out* out);
  template <class Out>
  static void neuron_rows(const int32_t* in, size_t count, size_t channels, const NeuronStages& n,
                          Out* out);
  template <class A, class B, class Out>
  static void shifted_add_rows(const A* a, const B* b, size_t count, size_t channels,
                               const ShiftStage& sa, const ShiftStage& sb, int32_t low,
                               int32_t high, const ShiftStage& so, Out* out);
  static void add_rows(const int32_t* x, const int32_t* y, size_t count, size_t period, int32_t low,
                       int32_t high, int32_t* out);
  static bool look_up_rows(const int32_t* table, int64_t half, const int32_t* index, size_t count,
                           int32_t* out);
  static void sum_rows(int32_t* sums, const int32_t* values, size_t rows, size_t n, int32_t low,
                       int32_t high);
  static void max_pool(const int32_t* in, size_t n, const PoolAxis& x, const PoolAxis& y,
                       size_t out_x, size_t out_y, int32_t low, int32_t high, int32_t* out);
};

// Explicit instantiations of every loop for the tag `MORLA_ISA` names (in the file that
// compiles them), over the element types channel_loops.h lists.
#define MORLA_INSTANTIATE_SHIFT_ROWS(In, Out) \
  template void Loops<MORLA_ISA>::shift_rows(const In*, size_t, size_t, const ShiftStage&, Out*);
#define MORLA_INSTANTIATE_NEURON_ROWS(Out)                                                         \
  template void Loops<MORLA_ISA>::neuron_rows(const int32_t*, size_t, size_t, const NeuronStages&, \
                                              Out*);
#define MORLA_INSTANTIATE_SHIFTED_ADD_ROWS(A, B, Out)                                             \
  template void Loops<MORLA_ISA>::shifted_add_rows(const A*, const B*, size_t, size_t,            \
                                                   const ShiftStage&, const ShiftStage&, int32_t, \
                                                   int32_t, const ShiftStage&, Out*);
#define MORLA_INSTANTIATE_CHANNEL_LOOPS()                \
  template struct Loops<MORLA_ISA>;                      \
  MORLA_SHIFT_ROWS_TYPES(MORLA_INSTANTIATE_SHIFT_ROWS)   \
  MORLA_NEURON_ROWS_TYPES(MORLA_INSTANTIATE_NEURON_ROWS) \
  MORLA_SHIFTED_ADD_TYPES(MORLA_INSTANTIATE_SHIFTED_ADD_ROWS)

}  // namespace morla::ops::loops

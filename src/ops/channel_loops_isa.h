#pragma once
// The loops of channel_loops.h as templates over the instruction set they are compiled for:
// channel_loops_body.h defines them, each channel_loops_*.cpp instantiates them for its own
// tag inside its target region, channel_loops.cpp picks one at run time.
#include <cstddef>
#include <cstdint>

#include "ops/shift_plan.h"

namespace morla::ops::loops {

struct Portable {};
struct Avx2 {};
struct Avx512 {};

template <class Isa> struct Loops {
  template <class In, class Out>
  static void shift_rows(const In* in, size_t count, size_t channels, const ShiftStage& s, Out* out);
  template <class Out>
  static void neuron_rows(const int32_t* in, size_t count, size_t channels, const NeuronStages& n,
                          Out* out);
  template <class A, class B, class Out>
  static void shifted_add_rows(const A* a, const B* b, size_t count, size_t channels,
                               const ShiftStage& sa, const ShiftStage& sb, int32_t low,
                               int32_t high, const ShiftStage& so, Out* out);
  static void add_rows(const int32_t* x, const int32_t* y, size_t count, size_t period,
                       int64_t low, int64_t high, int32_t* out);
  static bool look_up_rows(const int32_t* table, int64_t half, const int32_t* index, size_t count,
                           int32_t* out);
  static void max_into(int32_t* target, const int32_t* values, size_t n, int32_t low, int32_t high);
  static void sum_into(int64_t* sums, const int32_t* values, size_t n, int64_t low, int64_t high);
};

// Explicit instantiations of every loop for one tag (in the file that compiles them).
#define MORLA_INSTANTIATE_CHANNEL_LOOPS(Isa)                                                  \
  template struct Loops<Isa>;                                                                 \
  template void Loops<Isa>::shift_rows(const int8_t*, size_t, size_t, const ShiftStage&, int32_t*);   \
  template void Loops<Isa>::shift_rows(const uint8_t*, size_t, size_t, const ShiftStage&, int32_t*);  \
  template void Loops<Isa>::shift_rows(const int16_t*, size_t, size_t, const ShiftStage&, int32_t*);  \
  template void Loops<Isa>::shift_rows(const int32_t*, size_t, size_t, const ShiftStage&, int32_t*);  \
  template void Loops<Isa>::shift_rows(const int32_t*, size_t, size_t, const ShiftStage&, int8_t*);   \
  template void Loops<Isa>::neuron_rows(const int32_t*, size_t, size_t, const NeuronStages&, uint8_t*); \
  template void Loops<Isa>::neuron_rows(const int32_t*, size_t, size_t, const NeuronStages&, int8_t*);  \
  template void Loops<Isa>::neuron_rows(const int32_t*, size_t, size_t, const NeuronStages&, int16_t*); \
  template void Loops<Isa>::neuron_rows(const int32_t*, size_t, size_t, const NeuronStages&, int32_t*); \
  MORLA_INSTANTIATE_SHIFTED_ADD_B(Isa, int8_t)                                                \
  MORLA_INSTANTIATE_SHIFTED_ADD_B(Isa, uint8_t)                                               \
  MORLA_INSTANTIATE_SHIFTED_ADD_B(Isa, int32_t)
#define MORLA_INSTANTIATE_SHIFTED_ADD(Isa, A, B, Out)                                         \
  template void Loops<Isa>::shifted_add_rows(const A*, const B*, size_t, size_t,              \
                                             const ShiftStage&, const ShiftStage&, int32_t,   \
                                             int32_t, const ShiftStage&, Out*);
#define MORLA_INSTANTIATE_SHIFTED_ADD_OUTS(Isa, A, B) \
  MORLA_INSTANTIATE_SHIFTED_ADD(Isa, A, B, int8_t) MORLA_INSTANTIATE_SHIFTED_ADD(Isa, A, B, int32_t)
#define MORLA_INSTANTIATE_SHIFTED_ADD_B(Isa, A)          \
  MORLA_INSTANTIATE_SHIFTED_ADD_OUTS(Isa, A, int8_t)     \
  MORLA_INSTANTIATE_SHIFTED_ADD_OUTS(Isa, A, uint8_t)    \
  MORLA_INSTANTIATE_SHIFTED_ADD_OUTS(Isa, A, int32_t)

}  // namespace morla::ops::loops

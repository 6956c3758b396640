#pragma once
// Per-channel shifts and scales of 32-bit values as stages of plain 32-bit integer
// arithmetic, the same for every channel, so that a loop over the channels vectorises:
//   shift:  t = (x >> right) + ((x >> half) & round), then t << left saturated to [low, high]
//           (t above `above` gives high, below `below` gives low);
//   scale:  x * scale saturated to the accumulator's bounds the same way, then a shift.
// Exact against the scalar rules of shift.h for 32-bit values: a left shift of at most 31
// cannot leave int64 there, so their saturation never fires before the clip. Amounts are
// checked by the caller first.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine_api/tensor.h"
#include "ops/clip.h"
#include "ops/shift.h"

namespace morla::ops {

struct ShiftStage {
  std::vector<int32_t> right, half, round, left, below, above;
  int32_t low = INT32_MIN, high = INT32_MAX;
};

// `amounts` as the scalar rule reads them: signed for round and floor (negative shifts
// right), unsigned for the others; each within -31..31 / 0..31. Results clip to
// [low, high] intersected with the int32 range.
ShiftStage plan_shift(ShiftRule rule, const std::vector<int32_t>& amounts, int64_t low,
                      int64_t high);

struct ScaleStage {
  std::vector<int32_t> scale, below, above;
  int32_t acc_low = INT32_MIN, acc_high = INT32_MAX;
  ShiftStage shift;
  // Every channel gives the same result for x clamped to [below, above] then multiplied as
  // for the saturated product (its output clip is reached first): the loops may clamp.
  bool clamps_input = false;
};

// The stage of the per-channel shift operations of shift.h over `channels` channels: the
// shifts read as `rule` takes them, each tried first (a refused shift leaves no result),
// results clipped to `bits` and saturated to int32.
ShiftStage checked_shift_stage(const char* op, const Dense& shifts, size_t channels, ShiftRule rule,
                               int32_t bits);

// Non-negative scales; accumulator bounds within int32.
ScaleStage plan_scale(const std::vector<int64_t>& scales, ClipRange acc, ShiftStage shift);

// The v2 neuron stages that follow a layer's sums, each optional, in this order: bias added
// with saturation to 32 bits; ReLU, min(v, relu_max[c]) and 0 below 1; the look-up, index
// from `lut_index` read at lut[1024 + index] (the index stage clips to 11 bits); the output
// scale. Without the output scale the result is int32.
struct NeuronStages {
  std::vector<int32_t> bias, bias_below, bias_above;
  std::vector<int32_t> relu_max;
  const int32_t* lut = nullptr;  // 2048 values
  ScaleStage lut_index;
  bool scaled = false;
  ScaleStage out;
};

// Saturating addition of per-channel values (already within int32).
void plan_bias(NeuronStages& stages, const std::vector<int32_t>& bias);

// How many times to repeat a stage of `channels` channels so that a row of the loops holds
// at least a few vectors: a row of 8-bit values needs 64 elements to fill one AVX-512
// vector. At most the `count` elements the loop covers.
size_t row_repeats(size_t channels, size_t count);
// The stage's per-channel values repeated `times` over: the stage of `times` consecutive
// pixels.
ShiftStage repeated(const ShiftStage& stage, size_t times);
ScaleStage repeated(const ScaleStage& stage, size_t times);
NeuronStages repeated(const NeuronStages& stages, size_t times);

}  // namespace morla::ops

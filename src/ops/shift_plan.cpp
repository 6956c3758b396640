#include "ops/shift_plan.h"

#include <algorithm>

namespace morla::ops {

namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }

int32_t narrow(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

ShiftStage plan_shift(ShiftRule rule, const std::vector<int32_t>& amounts, int64_t low,
                      int64_t high) {
  const size_t channels = amounts.size();
  ShiftStage s;
  s.low = narrow(low);
  s.high = narrow(high);
  for (auto* v : {&s.right, &s.half, &s.round, &s.left}) v->assign(channels, 0);
  s.below.assign(channels, s.low);
  s.above.assign(channels, s.high);
  const bool is_signed = rule == ShiftRule::round || rule == ShiftRule::floor;
  const bool rounds = rule == ShiftRule::round || rule == ShiftRule::rshift_round;
  for (size_t c = 0; c < channels; ++c) {
    const int32_t amount = amounts[c];
    if (rule == ShiftRule::lshift_saturate || (is_signed && amount > 0)) {
      // The bounds divided by 2^amount, rounded inwards (arithmetic shifts round down).
      s.left[c] = amount;
      s.below[c] = narrow(-(-int64_t{s.low} >> amount));
      s.above[c] = narrow(int64_t{s.high} >> amount);
    } else if (amount != 0) {
      s.right[c] = is_signed ? -amount : amount;
      s.half[c] = s.right[c] - 1;
      s.round[c] = rounds ? 1 : 0;
    }
  }
  return s;
}

namespace {

// The stage's arithmetic for one value, as the loops do it.
int32_t shifted(const ShiftStage& s, int32_t x, size_t c) {
  const int32_t t = (x >> s.right[c]) + ((x >> s.half[c]) & s.round[c]);
  if (t > s.above[c]) return s.high;
  if (t < s.below[c]) return s.low;
  return static_cast<int32_t>(static_cast<uint32_t>(t) << s.left[c]);
}

}  // namespace

ScaleStage plan_scale(const std::vector<int64_t>& scales, ClipRange acc, ShiftStage shift) {
  ScaleStage s;
  s.acc_low = narrow(acc.low);
  s.acc_high = narrow(acc.high);
  s.shift = std::move(shift);
  s.clamps_input = true;
  for (size_t c = 0; c < scales.size(); ++c) {
    const int64_t scale = scales[c];
    s.scale.push_back(static_cast<int32_t>(scale));
    s.below.push_back(scale == 0 ? INT32_MIN : narrow(ceil_div(s.acc_low, scale)));
    s.above.push_back(scale == 0 ? INT32_MAX : narrow(floor_div(s.acc_high, scale)));
    // A zero scale never saturates: its bounds are the int32 range.
    const bool alike = scale == 0 || (shifted(s.shift, static_cast<int32_t>(s.above[c] * scale),
                                              c) == shifted(s.shift, s.acc_high, c) &&
                                      shifted(s.shift, static_cast<int32_t>(s.below[c] * scale),
                                              c) == shifted(s.shift, s.acc_low, c));
    s.clamps_input = s.clamps_input && alike;
  }
  return s;
}

void plan_bias(NeuronStages& stages, const std::vector<int32_t>& bias) {
  stages.bias = bias;
  stages.bias_below.clear();
  stages.bias_above.clear();
  for (const int32_t b : bias) {
    stages.bias_below.push_back(b < 0 ? INT32_MIN - b : INT32_MIN);
    stages.bias_above.push_back(b > 0 ? INT32_MAX - b : INT32_MAX);
  }
}

size_t row_repeats(size_t channels, size_t count) {
  constexpr size_t kRow = 256;
  if (channels == 0 || channels >= kRow) return 1;
  const size_t times = (kRow + channels - 1) / channels;
  const size_t pixels = count / channels;
  return std::max<size_t>(1, std::min(times, pixels));
}

namespace {

void repeat(std::vector<int32_t>& values, size_t times) {
  const size_t n = values.size();
  values.resize(n * times);
  for (size_t t = 1; t < times; ++t) std::copy_n(values.begin(), n, values.begin() + t * n);
}

}  // namespace

ShiftStage repeated(const ShiftStage& stage, size_t times) {
  ShiftStage s = stage;
  for (auto* v : {&s.right, &s.half, &s.round, &s.left, &s.below, &s.above}) repeat(*v, times);
  return s;
}

ScaleStage repeated(const ScaleStage& stage, size_t times) {
  ScaleStage s = stage;
  for (auto* v : {&s.scale, &s.below, &s.above}) repeat(*v, times);
  s.shift = repeated(stage.shift, times);
  return s;
}

NeuronStages repeated(const NeuronStages& stages, size_t times) {
  NeuronStages s = stages;
  for (auto* v : {&s.bias, &s.bias_below, &s.bias_above, &s.relu_max}) repeat(*v, times);
  if (s.lut) s.lut_index = repeated(stages.lut_index, times);
  if (s.scaled) s.out = repeated(stages.out, times);
  return s;
}

}  // namespace morla::ops

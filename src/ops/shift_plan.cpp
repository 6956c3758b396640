#include "ops/shift_plan.h"

#include "ops/kernels.h"

namespace morla::ops {

namespace {

[[gnu::always_inline]] inline int64_t planned_shift(int64_t value, int64_t left, int64_t right,
                                                    int64_t half, int64_t round) {
  const int64_t x = static_cast<int64_t>(static_cast<uint64_t>(value) << left);
  return (x >> right) + ((x >> half) & round);
}

[[gnu::always_inline]] inline int64_t clamp(int64_t v, int64_t low, int64_t high) {
  return v < low ? low : (v > high ? high : v);
}

}  // namespace

ShiftPlan plan_shifts(ShiftRule rule, const std::vector<int32_t>& amounts) {
  const size_t channels = amounts.size();
  ShiftPlan plan{std::vector<int64_t>(channels, 0), std::vector<int64_t>(channels, 0),
                 std::vector<int64_t>(channels, 0), std::vector<int64_t>(channels, 0)};
  const bool is_signed = rule == ShiftRule::round || rule == ShiftRule::floor;
  const bool rounds = rule == ShiftRule::round || rule == ShiftRule::rshift_round;
  for (size_t c = 0; c < channels; ++c) {
    const int32_t amount = amounts[c];
    if (rule == ShiftRule::lshift_saturate || (is_signed && amount > 0)) {
      plan.left[c] = amount;
    } else if (amount != 0) {
      plan.right[c] = is_signed ? -amount : amount;
      plan.half[c] = plan.right[c] - 1;
      plan.round[c] = rounds ? 1 : 0;
    }
  }
  return plan;
}

namespace {

// Both loops in one: with `Scaled`, each value is first multiplied by its channel's scale
// and clamped to the accumulator's bounds.
template <bool Scaled>
[[gnu::always_inline]] inline void shift_rows(const int32_t* in, const int64_t* scales,
                                              size_t count, size_t channels, const ShiftPlan& plan,
                                              int64_t acc_low, int64_t acc_high, int64_t low,
                                              int64_t high, int32_t* out) {
  const int64_t* __restrict left = plan.left.data();
  const int64_t* __restrict right = plan.right.data();
  const int64_t* __restrict half = plan.half.data();
  const int64_t* __restrict round = plan.round.data();
  for (size_t start = 0; start < count; start += channels)
    for (size_t c = 0; c < channels; ++c) {
      int64_t value = in[start + c];
      if constexpr (Scaled) value = clamp(scales[c] * value, acc_low, acc_high);
      out[start + c] = static_cast<int32_t>(
          clamp(planned_shift(value, left[c], right[c], half[c], round[c]), low, high));
    }
}

}  // namespace

MORLA_MULTIVERSION void shift_clamp_rows(const int32_t* in, size_t count, size_t channels,
                                         const ShiftPlan& plan, int64_t low, int64_t high,
                                         int32_t* out) {
  shift_rows<false>(in, nullptr, count, channels, plan, 0, 0, low, high, out);
}

MORLA_MULTIVERSION void scale_shift_clamp_rows(const int32_t* in, const int64_t* scales,
                                               size_t count, size_t channels,
                                               const ShiftPlan& plan, int64_t acc_low,
                                               int64_t acc_high, int64_t low, int64_t high,
                                               int32_t* out) {
  shift_rows<true>(in, scales, count, channels, plan, acc_low, acc_high, low, high, out);
}

}  // namespace morla::ops

#include "ops/shift.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "ops/channel_loops.h"
#include "ops/clip.h"
#include "ops/shift_plan.h"
#include "ops/tensor_access.h"

namespace morla::ops {

namespace {

[[noreturn]] void left_too_far() {
  throw std::runtime_error("Cannot perform a left shift higher than 31.");
}
[[noreturn]] void right_too_far() {
  throw std::runtime_error("Cannot perform a right shift higher than 31.");
}

int64_t saturating_left(int64_t value, unsigned shift) {
  if (value > 0 && value > (INT64_MAX >> shift)) return INT64_MAX;
  if (value <= 0 && value < (INT64_MIN >> shift)) return INT64_MIN;
  return static_cast<int64_t>(static_cast<uint64_t>(value) << shift);
}

// (v + 2^(n-1)) >> n, written so that it cannot overflow near INT64_MAX.
int64_t right_rounded(int64_t value, unsigned shift) {
  return (value >> shift) + ((value >> (shift - 1)) & 1);
}

bool signed_rule(ShiftRule rule) { return rule == ShiftRule::round || rule == ShiftRule::floor; }

int64_t apply_rule(ShiftRule rule, int64_t value, int32_t shift) {
  switch (rule) {
    case ShiftRule::round: return shift_round(value, shift);
    case ShiftRule::floor: return shift_floor(value, shift);
    case ShiftRule::lshift_saturate: return lshift_saturate(value, static_cast<uint32_t>(shift));
    case ShiftRule::rshift_round: return rshift_round(value, static_cast<uint32_t>(shift));
    case ShiftRule::rshift_floor: return rshift_floor(value, static_cast<uint32_t>(shift));
  }
  throw std::invalid_argument("Unknown shift rule.");
}

}  // namespace

int64_t shift_round(int64_t value, int32_t shift) {
  if (shift == 0) return value;
  if (shift > 0) return lshift_saturate(value, static_cast<uint32_t>(shift));
  if (shift <= -32) right_too_far();
  return right_rounded(value, static_cast<unsigned>(-shift));
}

int64_t shift_floor(int64_t value, int32_t shift) {
  if (shift == 0) return value;
  if (shift > 0) return lshift_saturate(value, static_cast<uint32_t>(shift));
  if (shift <= -32) right_too_far();
  return value >> -shift;
}

int64_t lshift_saturate(int64_t value, uint32_t shift) {
  if (shift == 0) return value;
  if (shift >= 32) left_too_far();
  return saturating_left(value, shift);
}

int64_t rshift_round(int64_t value, uint32_t shift) {
  if (shift == 0) return value;
  if (shift >= 32) right_too_far();
  return right_rounded(value, shift);
}

int64_t rshift_floor(int64_t value, uint32_t shift) {
  if (shift == 0) return value;
  if (shift >= 32) right_too_far();
  return value >> shift;
}

namespace {

// The shifted inputs as int32, or as int8 (the low byte of the clipped value).
std::shared_ptr<Dense> shift_channels(const char* op, const Dense& inputs, const Dense& shifts,
                                      ShiftRule rule, int32_t bits,
                                      TensorType out_type = TensorType::int32) {
  const int32_t* in = detail::elements<int32_t>(inputs);
  const ShiftStage stage = checked_shift_stage(op, shifts, inputs.shape().back(), rule, bits);
  auto result = detail::make_dense_unfilled(out_type, inputs.shape());
  const size_t count = detail::element_count(inputs), channels = inputs.shape().back();
  if (out_type == TensorType::int8)
    loops::shift_rows(in, count, channels, stage, detail::mutable_elements<int8_t>(*result));
  else
    loops::shift_rows(in, count, channels, stage, detail::mutable_elements<int32_t>(*result));
  return result;
}

}  // namespace

ShiftStage checked_shift_stage(const char* op, const Dense& shifts, size_t channels, ShiftRule rule,
                               int32_t bits) {
  const int8_t* signed_shifts = signed_rule(rule) ? detail::elements<int8_t>(shifts) : nullptr;
  const uint8_t* unsigned_shifts = signed_shifts ? nullptr : detail::elements<uint8_t>(shifts);
  detail::require_count(op, "shifts", detail::element_count(shifts), channels,
                        "one per channel of the inputs");
  std::vector<int32_t> amounts(channels);
  for (size_t c = 0; c < channels; ++c)
    amounts[c] = signed_shifts ? int32_t{signed_shifts[c]} : int32_t{unsigned_shifts[c]};
  for (size_t c = 0; c < channels; ++c) apply_rule(rule, 0, amounts[c]);
  // Clip to `bits`, then saturate to int32: one clamp.
  const ClipRange range = clip_range(bits);
  return plan_shift(rule, amounts, range.low, range.high);
}

std::shared_ptr<Dense> apply_channel_shift(const Dense& inputs, const Dense& shifts, ShiftRule rule,
                                           int32_t bits) {
  return shift_channels("apply_channel_shift", inputs, shifts, rule, bits);
}

std::shared_ptr<Dense> lshift(const Dense& inputs, const Dense& shifts, int32_t bits) {
  return shift_channels("lshift", inputs, shifts, ShiftRule::lshift_saturate, bits);
}

std::shared_ptr<Dense> shift(const Dense& inputs, const Dense& shifts, int32_t bits) {
  const bool is_signed = shifts.type() == TensorType::int8;
  return shift_channels("shift", inputs, shifts,
                        is_signed ? ShiftRule::floor : ShiftRule::lshift_saturate, bits);
}

std::shared_ptr<Dense> shift_out(const Dense& inputs, const Dense& shifts, int32_t bits) {
  detail::require_positive("shift_out", "bits", bits);
  const bool is_signed = shifts.type() == TensorType::int8;
  return shift_channels("shift_out", inputs, shifts,
                        is_signed ? ShiftRule::round : ShiftRule::lshift_saturate, bits,
                        bits <= 8 ? TensorType::int8 : TensorType::int32);
}

std::shared_ptr<Dense> rshift_floor_per_channel(const Dense& inputs, const Dense& shifts,
                                                int32_t bits) {
  return shift_channels("rshift_floor_per_channel", inputs, shifts, ShiftRule::rshift_floor, bits);
}

std::shared_ptr<Dense> rshift_round_per_channel(const Dense& inputs, const Dense& shifts,
                                                int32_t bits) {
  return shift_channels("rshift_round_per_channel", inputs, shifts, ShiftRule::rshift_round, bits);
}

}  // namespace morla::ops

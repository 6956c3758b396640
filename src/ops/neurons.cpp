#include "ops/neurons.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/channel_loops.h"
#include "ops/clip.h"
#include "ops/shift.h"
#include "ops/tensor_access.h"

namespace morla::ops {

namespace {

// The rule of scale_out's shifts and each channel's amount, each tried once: a shift of 32
// or more is refused before any result exists.
ShiftStage checked_shift(const char* op, const Dense& shifts, size_t channels, int64_t low,
                         int64_t high) {
  const bool is_signed = shifts.type() == TensorType::int8;
  const int8_t* s8 = is_signed ? detail::elements<int8_t>(shifts) : nullptr;
  const uint8_t* u8 = s8 ? nullptr : detail::elements<uint8_t>(shifts);
  detail::require_count(op, "shifts", detail::element_count(shifts), channels, "one per channel");
  std::vector<int32_t> amounts(channels);
  for (size_t c = 0; c < channels; ++c) {
    amounts[c] = s8 ? int32_t{s8[c]} : int32_t{u8[c]};
    if (is_signed)
      shift_round(0, amounts[c]);
    else
      lshift_saturate(0, static_cast<uint32_t>(amounts[c]));
  }
  return plan_shift(is_signed ? ShiftRule::round : ShiftRule::lshift_saturate, amounts, low, high);
}

template <typename Out>
void neurons_as(const Dense& sums, const NeuronStages& stages, Dense& out) {
  loops::neuron_rows(detail::elements<int32_t>(sums), detail::element_count(sums),
                     sums.shape().back(), stages, detail::mutable_elements<Out>(out));
}

template <typename In>
void lshift_as(const Dense& inputs, const ShiftStage& stage, Dense& out) {
  loops::shift_rows(detail::elements<In>(inputs), detail::element_count(inputs), stage.left.size(),
                    stage, detail::mutable_elements<int32_t>(out));
}

}  // namespace

std::vector<int64_t> scale_out_factors(const char* op, const Dense& scales, const Dense& shifts,
                                       size_t channels, int32_t out_bits) {
  detail::require_positive(op, "out_bits", out_bits);
  const bool wide_scales = out_bits == 16 && storage_type(scales.type()) == StorageType::uint16;
  const uint16_t* scale16 = wide_scales ? detail::elements<uint16_t>(scales) : nullptr;
  const uint8_t* scale8 = wide_scales ? nullptr : detail::elements<uint8_t>(scales);
  detail::elements<int8_t>(shifts);
  detail::require_count(op, "scales", detail::element_count(scales), channels,
                        "one per channel of x");
  std::vector<int64_t> factors(channels);
  for (size_t c = 0; c < channels; ++c) factors[c] = scale16 ? scale16[c] : scale8[c];
  return factors;
}

ScaleStage scale_out_stage(const char* op, const Dense& scales, const Dense& shifts,
                           size_t channels, int32_t out_bits, uint8_t acc_bits) {
  std::vector<int64_t> factors = scale_out_factors(op, scales, shifts, channels, out_bits);
  const ClipRange out = scale_out_bounds(out_bits);
  ShiftStage shift = checked_shift(op, shifts, channels, out.low, out.high);
  const ClipRange acc = clip_range(acc_bits);
  if (acc.low < INT32_MIN || acc.high > INT32_MAX)
    throw std::invalid_argument(std::string(op) + ": an accumulator of " +
                                std::to_string(acc_bits) + " bits is wider than 32 bits.");
  return plan_scale(factors, acc, std::move(shift));
}

ClipRange scale_out_bounds(int32_t out_bits) {
  if (out_bits < 5) return {0, (int64_t{1} << out_bits) - 1};
  if (out_bits == 16) return {INT16_MIN, INT16_MAX};
  const ClipRange range = clip_range(out_bits);
  return {std::max<int64_t>(range.low, INT32_MIN), std::min<int64_t>(range.high, INT32_MAX)};
}

TensorType scale_out_type(int32_t out_bits) {
  if (out_bits < 5) return TensorType::uint8;
  if (out_bits <= 8) return TensorType::int8;
  if (out_bits == 16) return TensorType::int16;
  return TensorType::int32;
}

void run_neurons(const Dense& sums, const NeuronStages& stages, Dense& out) {
  detail::require_count("neurons", "out", detail::element_count(out), detail::element_count(sums),
                        "one per sum");
  switch (out.type()) {
    case TensorType::uint8: return neurons_as<uint8_t>(sums, stages, out);
    case TensorType::int8: return neurons_as<int8_t>(sums, stages, out);
    case TensorType::int16: return neurons_as<int16_t>(sums, stages, out);
    default: return neurons_as<int32_t>(sums, stages, out);
  }
}

void lshift_into(const Dense& inputs, const Dense& shifts, int32_t bits, Dense& out) {
  static constexpr const char* op = "lshift";
  const size_t channels = out.shape().back();
  lshift_into(inputs, checked_shift_stage(op, shifts, channels, ShiftRule::lshift_saturate, bits),
              out);
}

void lshift_into(const Dense& inputs, const ShiftStage& stage, Dense& out) {
  detail::require_count("lshift", "out", detail::element_count(out), detail::element_count(inputs),
                        "one per input");
  switch (storage_type(inputs.type())) {
    case StorageType::int8: return lshift_as<int8_t>(inputs, stage, out);
    case StorageType::uint8: return lshift_as<uint8_t>(inputs, stage, out);
    case StorageType::int16: return lshift_as<int16_t>(inputs, stage, out);
    case StorageType::int32: return lshift_as<int32_t>(inputs, stage, out);
    default: throw std::runtime_error("Unexpected input type.");
  }
}

}  // namespace morla::ops

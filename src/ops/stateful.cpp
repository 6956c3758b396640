#include "ops/stateful.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "core/platform.h"
#include "ops/clip.h"
#include "ops/shift.h"
#include "ops/neurons.h"
#include "ops/tensor_access.h"

namespace morla::ops {

namespace {

// The per-element rule of shift_out for these shifts, each channel's shift tried once.
struct ChannelShifts {
  ShiftRule rule;
  std::vector<int32_t> amounts;

  int64_t apply(int64_t value, size_t channel) const {
    return rule == ShiftRule::round
               ? shift_round(value, amounts[channel])
               : lshift_saturate(value, static_cast<uint32_t>(amounts[channel]));
  }
};

ChannelShifts output_shifts(const char* op, const Dense& shifts, size_t channels) {
  ChannelShifts result{
      shifts.type() == TensorType::int8 ? ShiftRule::round : ShiftRule::lshift_saturate,
      std::vector<int32_t>(channels)};
  const int8_t* s8 = result.rule == ShiftRule::round ? detail::elements<int8_t>(shifts) : nullptr;
  const uint8_t* u8 = s8 ? nullptr : detail::elements<uint8_t>(shifts);
  detail::require_count(op, "shifts", detail::element_count(shifts), channels, "one per channel");
  for (size_t c = 0; c < channels; ++c) {
    result.amounts[c] = s8 ? int32_t{s8[c]} : int32_t{u8[c]};
    result.apply(0, c);  // refuses a shift of 32 or more before any result exists
  }
  return result;
}

}  // namespace

std::pair<std::shared_ptr<Dense>, std::shared_ptr<Dense>> stateful_main_op(
    const Dense& x, const Dense& shifts, const Dense& re, const Dense& im, const Dense& a,
    const Dense& b, int32_t bits, int32_t out_bits) {
  static constexpr const char* op = "stateful_main_op";
  const int32_t* input = detail::elements<int32_t>(x);
  const int32_t* re0 = detail::elements<int32_t>(re);
  const int32_t* im0 = detail::elements<int32_t>(im);
  const int16_t* ca = detail::elements<int16_t>(a);
  const int16_t* cb = detail::elements<int16_t>(b);
  detail::require_rank(op, "x", x, 3);
  const Shape shape = x.shape();
  const size_t steps = shape[1], channels = shape[2];
  detail::require_count(op, "re", detail::element_count(re), channels, "one per channel of x");
  detail::require_count(op, "im", detail::element_count(im), channels, "one per channel of x");
  detail::require_count(op, "a", detail::element_count(a), channels, "one per channel of x");
  detail::require_count(op, "b", detail::element_count(b), channels, "one per channel of x");

  // The states are shifted whole through shift_out, channel = index mod their last dimension.
  detail::require_positive("shift_out", "bits", out_bits);
  const size_t re_channels = re.shape().back(), im_channels = im.shape().back();
  const ChannelShifts shift = output_shifts(op, shifts, std::max(re_channels, im_channels));
  if (out_bits <= 8) panic("Wrong requested type %s for a tensor of type %s", "int", "int8");

  std::vector<int32_t> re_state(re0, re0 + detail::element_count(re));
  std::vector<int32_t> im_state(im0, im0 + detail::element_count(im));
  auto re_out = detail::make_dense(TensorType::int32, shape);
  auto im_out = detail::make_dense(TensorType::int32, shape);
  int32_t* re_seq = detail::mutable_elements<int32_t>(*re_out);
  int32_t* im_seq = detail::mutable_elements<int32_t>(*im_out);

  const ClipRange range = clip_range(bits), out_range = clip_range(out_bits);
  for (size_t t = 0; t < steps; ++t) {
    for (size_t k = 0; k < channels; ++k) {
      const int64_t r = re_state[k], i = im_state[k], ak = ca[k], bk = cb[k];
      const int64_t p = clip(ak * r, range), q = clip(bk * i, range);
      const int64_t u = clip(p - q, range);
      re_state[k] = saturate_int32(clip(u + input[t * channels + k], range));
      const int64_t rr = clip(bk * r, range), s = clip(ak * i, range);
      im_state[k] = saturate_int32(clip(rr + s, range));
    }
    for (size_t e = 0; e < re_state.size(); ++e)
      re_state[e] = saturate_int32(clip(shift.apply(re_state[e], e % re_channels), out_range));
    for (size_t e = 0; e < im_state.size(); ++e)
      im_state[e] = saturate_int32(clip(shift.apply(im_state[e], e % im_channels), out_range));
    std::memcpy(re_seq + t * channels, re_state.data(), channels * sizeof(int32_t));
    std::memcpy(im_seq + t * channels, im_state.data(), channels * sizeof(int32_t));
  }
  return {re_out, im_out};
}

std::shared_ptr<Dense> subsampling_op(const Dense& x, uint8_t stride) {
  static constexpr const char* op = "subsampling_op";
  const int32_t* in = detail::elements<int32_t>(x);
  detail::require_rank(op, "x", x, 3);
  detail::require_positive(op, "stride", stride);
  const Shape shape = x.shape();
  const size_t steps = shape[1], channels = shape[2];
  if (steps < stride) panic("Cannot have a shape with dimension %zu set to 0", size_t{1});
  const auto kept = static_cast<uint32_t>(steps / stride);
  auto result = detail::make_dense(TensorType::int32, {1, kept, shape[2]});
  int32_t* out = detail::mutable_elements<int32_t>(*result);
  for (size_t r = 0; r < kept; ++r)
    std::memcpy(out + r * channels, in + ((r + 1) * stride - 1) * channels,
                channels * sizeof(int32_t));
  return result;
}

namespace {

template <typename Scale, typename Out>
void scale_values(const int32_t* in, const Scale* scales, const ChannelShifts& shift, size_t count,
                  size_t channels, ClipRange acc, int64_t low, int64_t high, Out* out) {
  for (size_t start = 0; start < count; start += channels)
    for (size_t c = 0; c < channels; ++c) {
      const int64_t v = shift.apply(clip(int64_t{scales[c]} * in[start + c], acc), c);
      out[start + c] = static_cast<Out>(std::clamp(v, low, high));
    }
}

}  // namespace

std::shared_ptr<Dense> scale_out(const Dense& x, const Dense& scales, const Dense& shifts,
                                 int32_t out_bits, uint8_t acc_bits) {
  static constexpr const char* op = "scale_out";
  const int32_t* in = detail::elements<int32_t>(x);
  detail::require_positive(op, "out_bits", out_bits);
  const Shape shape = x.shape();
  const size_t channels = shape.back(), count = detail::element_count(x);
  const ClipRange acc = clip_range(acc_bits);
  auto result = detail::make_dense_unfilled(scale_out_type(out_bits), shape);
  // Accumulators within 32 bits (the engine's are): one vectorised pass.
  if (acc.low >= INT32_MIN && acc.high <= INT32_MAX) {
    NeuronStages stages;
    stages.scaled = true;
    stages.out = scale_out_stage(op, scales, shifts, channels, out_bits, acc_bits);
    run_neurons(x, stages, *result);
    return result;
  }
  // Wider accumulators: element by element in 64 bits.
  const std::vector<int64_t> factors = scale_out_factors(op, scales, shifts, channels, out_bits);
  const ChannelShifts shift = output_shifts(op, shifts, channels);
  const ClipRange out = scale_out_bounds(out_bits);
  const auto scaled = [&](auto* target) {
    scale_values(in, factors.data(), shift, count, channels, acc, out.low, out.high, target);
  };
  switch (result->type()) {
    case TensorType::uint8: scaled(detail::mutable_elements<uint8_t>(*result)); break;
    case TensorType::int8: scaled(detail::mutable_elements<int8_t>(*result)); break;
    case TensorType::int16: scaled(detail::mutable_elements<int16_t>(*result)); break;
    default: scaled(detail::mutable_elements<int32_t>(*result)); break;
  }
  return result;
}

std::shared_ptr<Dense> motepostprocessing_op(const Dense& p, const Dense& q,
                                             const Dense& thresholds, int32_t bits, bool raw) {
  static constexpr const char* op = "motepostprocessing_op";
  const int16_t* first = detail::elements<int16_t>(p);
  const int16_t* second = detail::elements<int16_t>(q);
  const uint16_t* limit = detail::elements<uint16_t>(thresholds);
  detail::require_rank(op, "q", q, 3);
  const Shape shape = q.shape();
  const size_t batches = shape[0], steps = shape[1], channels = shape[2];
  detail::require_count(op, "p", detail::element_count(p), detail::element_count(q),
                        "as many as q");
  if (!raw)
    detail::require_count(op, "thresholds", detail::element_count(thresholds), channels,
                          "one per channel of q");
  auto result =
      detail::make_dense(raw ? TensorType::int32 : TensorType::bit, {shape[0], 1, shape[2]});
  int32_t* raw_out = raw ? detail::mutable_elements<int32_t>(*result) : nullptr;
  int8_t* bit_out = raw ? nullptr : detail::mutable_elements<int8_t>(*result);

  const ClipRange range = clip_range(bits);
  std::vector<int64_t> sums(channels);
  for (size_t i = 0; i < batches; ++i) {
    std::fill(sums.begin(), sums.end(), 0);
    for (size_t t = 0; t < steps; ++t) {
      const size_t row = (i * steps + t) * channels;
      for (size_t c = 0; c < channels; ++c) {
        const int64_t e = clip(int64_t{second[row + c]} - first[row + c], range);
        sums[c] = clip(sums[c] + (e < 0 ? -e : e), range);
      }
    }
    for (size_t c = 0; c < channels; ++c) {
      const int64_t mean = sums[c] / static_cast<int64_t>(steps);
      if (raw)
        raw_out[i * channels + c] = saturate_int32(mean);
      else
        bit_out[i * channels + c] = mean > limit[c] ? 1 : 0;
    }
  }
  return result;
}

}  // namespace morla::ops

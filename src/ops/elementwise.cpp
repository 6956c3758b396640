#include "ops/elementwise.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "ops/channel_loops.h"
#include "ops/clip.h"
#include "ops/conversion.h"
#include "ops/shift.h"
#include "ops/shift_plan.h"
#include "ops/tensor_access.h"

namespace morla::ops {

std::shared_ptr<Dense> add(const Dense& a, const Dense& b, int32_t bits) {
  static constexpr const char* op = "add";
  const int32_t* x = detail::elements<int32_t>(a);
  const int32_t* y = detail::elements<int32_t>(b);
  detail::require_rank(op, "a", a, 3);
  const Shape as = a.shape(), bs = b.shape();
  const size_t rank = bs.size();
  if (rank > 3 || !std::equal(bs.begin(), bs.end(), as.end() - rank))
    throw std::invalid_argument(std::string(op) + ": b of shape " + detail::shape_text(bs) +
                                " does not match the last dimensions of a's shape " +
                                detail::shape_text(as) + ".");
  auto result = detail::make_dense_unfilled(TensorType::int32, as);
  int32_t* out = detail::mutable_elements<int32_t>(*result);

  const ClipRange range = clip_range(bits);
  loops::add_rows(x, y, detail::element_count(a), detail::element_count(b),
                  saturate_int32(range.low), saturate_int32(range.high), out);
  return result;
}

namespace {

template <typename T>
std::shared_ptr<Dense> join(const std::vector<std::shared_ptr<Dense>>& tensors) {
  static constexpr const char* op = "concatenate";
  const Shape first = tensors[0]->shape();
  uint64_t total = 0;
  std::vector<const T*> sources;  // each tensor's next pixel
  std::vector<size_t> widths;
  for (size_t i = 0; i < tensors.size(); ++i) {
    const std::string name = "tensor " + std::to_string(i);
    sources.push_back(detail::elements<T>(*tensors[i]));
    detail::require_rank(op, name.c_str(), *tensors[i], 3);
    const Shape shape = tensors[i]->shape();
    detail::require_equal(op, name + " dimension 0", shape[0], "tensor 0 dimension 0", first[0]);
    detail::require_equal(op, name + " dimension 1", shape[1], "tensor 0 dimension 1", first[1]);
    widths.push_back(shape[2]);
    total += shape[2];
  }
  if (total > UINT32_MAX)
    throw std::invalid_argument(std::string(op) + ": the joined last dimension (" +
                                std::to_string(total) + ") exceeds 4294967295.");
  // Every element of the result is written below: no fill.
  auto result = detail::make_dense_unfilled(tensors[0]->type(),
                                            {first[0], first[1], static_cast<uint32_t>(total)});
  T* out = detail::mutable_elements<T>(*result);
  const size_t pixels = size_t{first[0]} * first[1];
  if (tensors.size() == 1) {
    std::memcpy(out, sources[0], pixels * total * sizeof(T));
    return result;
  }
  for (size_t p = 0; p < pixels; ++p)
    for (size_t i = 0; i < sources.size(); ++i) {
      std::memcpy(out, sources[i], widths[i] * sizeof(T));
      sources[i] += widths[i];
      out += widths[i];
    }
  return result;
}

}  // namespace

std::shared_ptr<Dense> concatenate(const std::vector<std::shared_ptr<Dense>>& tensors) {
  if (tensors.empty()) throw std::invalid_argument("concatenate: no tensors given.");
  for (size_t i = 0; i < tensors.size(); ++i)
    if (!tensors[i])
      throw std::invalid_argument("concatenate: tensor " + std::to_string(i) + " is missing.");
  switch (tensors[0]->type()) {
    case TensorType::int32: return join<int32_t>(tensors);
    case TensorType::int8:
    case TensorType::bit: return join<int8_t>(tensors);
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return join<uint8_t>(tensors);
    default: return nullptr;
  }
}

std::shared_ptr<Dense> relu_activation(const Dense& inputs, const Dense& max_values) {
  static constexpr const char* op = "relu_activation";
  const int32_t* in = detail::elements<int32_t>(inputs);
  const int32_t* maxima = detail::elements<int32_t>(max_values);
  detail::require_rank(op, "inputs", inputs, 3);
  const size_t channels = inputs.shape()[2];
  detail::require_count(op, "max_values", detail::element_count(max_values), channels,
                        "one per channel of the inputs");
  NeuronStages stages;
  stages.relu_max.assign(maxima, maxima + channels);
  auto result = detail::make_dense_unfilled(TensorType::int32, inputs.shape());
  loops::neuron_rows(in, detail::element_count(inputs), channels, stages,
                     detail::mutable_elements<int32_t>(*result));
  return result;
}

std::shared_ptr<Dense> look_up(const Dense& lut, const Dense& indices) {
  const int32_t* table = detail::elements<int32_t>(lut);
  const int32_t* index = detail::elements<int32_t>(indices);
  const int64_t half = lut.shape()[0] / 2;
  auto result = detail::make_dense_unfilled(TensorType::int32, indices.shape());
  int32_t* out = detail::mutable_elements<int32_t>(*result);
  const size_t count = detail::element_count(indices);
  if (half > 0 && loops::look_up_rows(table, half, index, count, out)) return result;
  for (size_t i = 0; i < count; ++i)  // the first index out of bounds
    if (index[i] < -half || index[i] >= half)
      throw std::out_of_range("morla::ops::look_up: Index " + std::to_string(index[i]) +
                              " is out of bounds.");
  return result;
}

std::shared_ptr<Dense> dequantize(const Dense& inputs, const Dense& scales) {
  const int32_t* in = detail::elements<int32_t>(inputs);
  const float* scale = detail::elements<float>(scales);
  const size_t channels = inputs.shape().back();
  detail::require_count("dequantize", "scales", detail::element_count(scales), channels,
                        "one per channel of the inputs");
  auto result = detail::make_dense_unfilled(TensorType::float32, inputs.shape());
  float* out = detail::mutable_elements<float>(*result);
  const size_t count = detail::element_count(inputs);
  for (size_t start = 0; start < count; start += channels)
    for (size_t c = 0; c < channels; ++c)
      out[start + c] = static_cast<float>(in[start + c]) * scale[c];
  return result;
}

std::shared_ptr<Dense> lshift_add(const Dense& a, const Dense& b, const Dense& shifts,
                                  int32_t bits) {
  const auto a32 = a.type() == TensorType::int32 ? nullptr : to_int32_dense(a);
  const auto b32 = to_int32_dense(b);
  return add(a32 ? *a32 : a, *lshift(*b32, shifts, bits), bits);
}

namespace {

// The element type the one-pass Add reads directly, or none.
enum class AddInput { int8, uint8, int32, other };
AddInput add_input(const Dense& t) {
  switch (storage_type(t.type())) {
    case StorageType::int8: return AddInput::int8;
    case StorageType::uint8: return AddInput::uint8;
    case StorageType::int32: return AddInput::int32;
    default: return AddInput::other;
  }
}

struct ShiftedAdd {
  ShiftStage a, b, out;
  int32_t low, high;
};

template <typename A, typename B>
void shifted_add_as(const Dense& a, const Dense& b, const ShiftedAdd& plan, Dense& result) {
  const size_t count = detail::element_count(a), channels = a.shape().back();
  const A* x = detail::elements<A>(a);
  const B* y = detail::elements<B>(b);
  if (result.type() == TensorType::int8)
    loops::shifted_add_rows(x, y, count, channels, plan.a, plan.b, plan.low, plan.high, plan.out,
                            detail::mutable_elements<int8_t>(result));
  else
    loops::shifted_add_rows(x, y, count, channels, plan.a, plan.b, plan.low, plan.high, plan.out,
                            detail::mutable_elements<int32_t>(result));
}

template <typename A>
void shifted_add_from(const Dense& a, const Dense& b, const ShiftedAdd& plan, Dense& result) {
  switch (add_input(b)) {
    case AddInput::int8: return shifted_add_as<A, int8_t>(a, b, plan, result);
    case AddInput::uint8: return shifted_add_as<A, uint8_t>(a, b, plan, result);
    default: return shifted_add_as<A, int32_t>(a, b, plan, result);
  }
}

}  // namespace

std::shared_ptr<Dense> shifted_add(const Dense& a, const Dense& b, const Dense& a_shifts,
                                   const Dense& b_shifts, const Dense& out_shifts, int32_t out_bits,
                                   int32_t bits) {
  // One pass over both inputs when they have the same shape (the Add layer's case).
  if (add_input(a) == AddInput::other || add_input(b) == AddInput::other ||
      a.shape() != b.shape() || a.shape().size() != 3) {
    const auto a32 = to_int32_dense(a);
    const auto b32 = to_int32_dense(b);
    const auto sum = add(*lshift(*a32, a_shifts, bits), *lshift(*b32, b_shifts, bits), bits);
    return shift_out(*sum, out_shifts, out_bits);
  }
  const size_t channels = a.shape().back();
  const ClipRange range = clip_range(bits);
  ShiftedAdd plan{
      checked_shift_stage("lshift", a_shifts, channels, ShiftRule::lshift_saturate, bits),
      checked_shift_stage("lshift", b_shifts, channels, ShiftRule::lshift_saturate, bits),
      {},
      static_cast<int32_t>(std::max<int64_t>(range.low, INT32_MIN)),
      static_cast<int32_t>(std::min<int64_t>(range.high, INT32_MAX))};
  detail::require_positive("shift_out", "bits", out_bits);
  const bool is_signed = out_shifts.type() == TensorType::int8;
  plan.out =
      checked_shift_stage("shift_out", out_shifts, channels,
                          is_signed ? ShiftRule::round : ShiftRule::lshift_saturate, out_bits);
  auto result = detail::make_dense_unfilled(out_bits <= 8 ? TensorType::int8 : TensorType::int32,
                                            a.shape());
  switch (add_input(a)) {
    case AddInput::int8: shifted_add_from<int8_t>(a, b, plan, *result); break;
    case AddInput::uint8: shifted_add_from<uint8_t>(a, b, plan, *result); break;
    default: shifted_add_from<int32_t>(a, b, plan, *result); break;
  }
  return result;
}

namespace {

template <typename T>
void quantize_levels(const T* in, const int32_t* thresholds, const int32_t* steps16, size_t count,
                     size_t channels, uint8_t bits, uint8_t* out) {
  const uint32_t levels = bits < 8 ? (1u << bits) : 0u;       // 2^bits in 8 bits
  const uint32_t top = bits < 8 ? (1u << bits) - 1u : 0xFFu;  // 2^bits - 1 in 8 bits
  for (size_t start = 0; start < count; start += channels)
    for (size_t c = 0; c < channels; ++c) {
      const int32_t v = in[start + c];
      if (v <= thresholds[c]) continue;
      const uint32_t above = static_cast<uint32_t>(v) - static_cast<uint32_t>(thresholds[c]);
      const uint32_t level = ((above * 16u - 1u) * levels) / static_cast<uint32_t>(steps16[c]) + 1u;
      out[start + c] = static_cast<uint8_t>(std::min(level, top));
    }
}

}  // namespace

std::shared_ptr<Dense> quantized_activation(const Dense& inputs, const Dense& thresholds,
                                            const Dense& steps, uint8_t bits) {
  static constexpr const char* op = "quantized_activation";
  if (inputs.type() != TensorType::uint8 && inputs.type() != TensorType::int32) return nullptr;
  const int32_t* threshold = detail::elements<int32_t>(thresholds);
  const int32_t* step = detail::elements<int32_t>(steps);
  detail::require_rank(op, "inputs", inputs, 3);
  const size_t channels = inputs.shape()[2];
  detail::require_count(op, "thresholds", detail::element_count(thresholds), channels,
                        "one per channel of the inputs");
  detail::require_count(op, "steps", detail::element_count(steps), channels,
                        "one per channel of the inputs");
  std::vector<int32_t> steps16(channels);
  for (size_t c = 0; c < channels; ++c) {
    steps16[c] = static_cast<int32_t>(static_cast<uint32_t>(step[c]) * 16u);
    if (steps16[c] == 0)
      throw std::invalid_argument(std::string(op) + ": the step of channel " + std::to_string(c) +
                                  " (" + std::to_string(step[c]) + ") gives a zero divisor.");
  }
  auto result = detail::make_dense(TensorType::uint8, inputs.shape());
  uint8_t* out = detail::mutable_elements<uint8_t>(*result);
  const size_t count = detail::element_count(inputs);
  if (inputs.type() == TensorType::uint8)
    quantize_levels(detail::elements<uint8_t>(inputs), threshold, steps16.data(), count, channels,
                    bits, out);
  else
    quantize_levels(detail::elements<int32_t>(inputs), threshold, steps16.data(), count, channels,
                    bits, out);
  return result;
}

namespace {

template <typename T>
void shift_fifo(Dense& fifo, const Dense& frame) {
  static constexpr const char* op = "fifo_op";
  T* entries = detail::mutable_elements<T>(fifo);
  const T* incoming = detail::elements<T>(frame);
  const Shape shape = fifo.shape();
  if (shape.size() < 3)
    throw std::invalid_argument(std::string(op) + ": fifo must have at least 3 dimensions, got " +
                                std::to_string(shape.size()) + ".");
  const size_t fifos = size_t{shape[0]} * shape[1], depth = shape[2];
  size_t entry = 1;  // elements of one entry
  for (size_t i = 3; i < shape.size(); ++i) entry *= shape[i];
  detail::require_count(op, "frame", detail::element_count(frame), fifos * entry,
                        "one entry per FIFO");
  for (size_t f = 0; f < fifos; ++f) {
    T* queue = entries + f * depth * entry;
    std::memmove(queue, queue + entry, (depth - 1) * entry * sizeof(T));
    std::memcpy(queue + (depth - 1) * entry, incoming + f * entry, entry * sizeof(T));
  }
}

}  // namespace

void fifo_op(Dense& fifo, const Dense& frame) {
  switch (fifo.type()) {
    case TensorType::int8: return shift_fifo<int8_t>(fifo, frame);
    case TensorType::uint8: return shift_fifo<uint8_t>(fifo, frame);
    default: throw std::runtime_error("Unexpected FIFO type.");
  }
}

}  // namespace morla::ops

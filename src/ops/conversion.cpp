#include "ops/conversion.h"

#include <cmath>
#include <stdexcept>

#include "ops/clip.h"
#include "ops/tensor_access.h"

namespace morla {

std::shared_ptr<Dense> float_to_fixed_q4(const Dense& values) {
  const float* in = ops::detail::elements<float>(values);
  const size_t count = ops::detail::element_count(values);
  auto result = ops::detail::make_dense(TensorType::int32, values.shape());
  int32_t* out = ops::detail::mutable_elements<int32_t>(*result);
  for (size_t i = 0; i < count; ++i) {
    const double scaled = std::floor(static_cast<double>(in[i]) * 16.0);
    if (std::isnan(scaled))
      out[i] = INT32_MIN;
    else if (scaled <= INT32_MIN)
      out[i] = INT32_MIN;
    else if (scaled >= INT32_MAX)
      out[i] = INT32_MAX;
    else
      out[i] = static_cast<int32_t>(scaled);
  }
  return result;
}

std::shared_ptr<Dense> float_to_fixed_q4(const std::shared_ptr<const Dense>& values) {
  if (!values) throw std::invalid_argument("float_to_fixed_q4: no tensor given.");
  return float_to_fixed_q4(*values);
}

namespace ops {

namespace {

template <typename T>
void widen(const Dense& inputs, int32_t* out) {
  const T* in = detail::elements<T>(inputs);
  const size_t count = detail::element_count(inputs);
  for (size_t i = 0; i < count; ++i) out[i] = in[i];
}

}  // namespace

std::shared_ptr<Dense> to_int32_dense(const Dense& inputs) {
  const StorageType storage = storage_type(inputs.type());
  if (storage == StorageType::float32 || storage == StorageType::uint16 ||
      storage == StorageType::none)
    throw std::runtime_error("Unexpected input type.");
  auto result = detail::make_dense(TensorType::int32, inputs.shape());
  int32_t* out = detail::mutable_elements<int32_t>(*result);
  switch (storage) {
    case StorageType::int32: widen<int32_t>(inputs, out); break;
    case StorageType::uint8: widen<uint8_t>(inputs, out); break;
    case StorageType::int16: widen<int16_t>(inputs, out); break;
    case StorageType::int8: widen<int8_t>(inputs, out); break;  // int8, int4, int2, bit
    default: throw std::runtime_error("Unexpected input type.");
  }
  return result;
}

std::shared_ptr<Dense> to_int8_dense(const Dense& inputs) {
  const int32_t* in = detail::elements<int32_t>(inputs);
  const size_t count = detail::element_count(inputs);
  auto result = detail::make_dense(TensorType::int8, inputs.shape());
  int8_t* out = detail::mutable_elements<int8_t>(*result);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<int8_t>(in[i]);
  return result;
}

}  // namespace ops
}  // namespace morla

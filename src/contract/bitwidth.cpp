#include "contract/bitwidth.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine_api/layer.h"
#include "engine_api/variables.h"
#include "core/platform.h"

namespace morla {

namespace {

bool is_signed_type(TensorType type) {
  switch (type) {
    case TensorType::int32:
    case TensorType::float32:
    case TensorType::int16:
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2: return true;
    default: return false;
  }
}

// The largest of 2 and every value's magnitude bound: v + 1 for v >= 0, -v below. Only the
// extremes matter, found by a branch-free (vectorised) pass.
template <typename T>
int64_t magnitude_bound(const Tensor& tensor) {
  const T* values = tensor.data<T>();
  T low = values[0], high = values[0];
  for (size_t i = 1, n = tensor.size(); i < n; ++i) {
    low = std::min(low, values[i]);
    high = std::max(high, values[i]);
  }
  return std::max({int64_t{2}, int64_t{high} + 1, -int64_t{low}});
}

int bits_for(int64_t m) { return static_cast<int>(std::ceil(std::log2(static_cast<double>(m)))); }

}  // namespace

int evaluate_bitwidth(const Tensor& tensor) {
  const TensorType type = tensor.type();
  if (static_cast<int32_t>(type) > 10 || static_cast<int32_t>(type) < 0 ||
      type == TensorType::float32)
    throw std::runtime_error("Wrong tensor type: cannot evaluate the bitwidth.");
  if (tensor.size() == 0) return 0;
  switch (type) {
    case TensorType::int32: return bits_for(magnitude_bound<int32_t>(tensor)) + 1;
    case TensorType::int16: return bits_for(magnitude_bound<int16_t>(tensor)) + 1;
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2: return bits_for(magnitude_bound<int8_t>(tensor)) + 1;
    case TensorType::uint16: return bits_for(magnitude_bound<uint16_t>(tensor));
    // Bit tensors store int8_t; their values 0 and 1 are measured as unsigned.
    case TensorType::bit: return bits_for(magnitude_bound<int8_t>(tensor));
    default: return bits_for(magnitude_bound<uint8_t>(tensor));  // uint8, uint4, uint2
  }
}

MappingStatus check_variable_bitwidth(const std::shared_ptr<Layer>& layer, uint32_t max_bits,
                                      const std::string& name, bool required) {
  const Variables& vars = static_cast<const Layer&>(*layer).variables();
  if (!vars.has(name)) {
    if (!required) return MappingStatus();
    return make_mapping_status(layer, "No variable named '" + name + "'.");
  }
  const auto dense = vars.get(name);
  const int bits = evaluate_bitwidth(*dense);
  if (bits <= static_cast<int>(max_bits)) return MappingStatus();
  const auto type = static_cast<int32_t>(dense->type());
  if (type >= 11) panic("Unsupported Tensor type (%d)", type);
  const std::string sign = is_signed_type(dense->type()) ? "signed" : "unsigned";
  return make_mapping_status(layer, "The variable " + name + " should only contain " + sign +
                                        " values that use no more than " +
                                        std::to_string(max_bits) + "-bit, " + std::to_string(bits) +
                                        " detected.");
}

}  // namespace morla

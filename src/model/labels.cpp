#include "model/labels.h"

#include <cmath>

namespace morla {

std::optional<int32_t> whole_label(float label) {
  // In range first: converting an out-of-range float to an integer is undefined.
  if (std::isnan(label) || label < -2147483648.0f || label >= 2147483648.0f) return std::nullopt;
  const auto value = static_cast<int32_t>(label);
  if (static_cast<float>(value) != label) return std::nullopt;
  return value;
}

}  // namespace morla

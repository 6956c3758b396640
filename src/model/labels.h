#pragma once
// Learning labels given as one number.
#include <cstdint>
#include <optional>

namespace morla {

// The label a 32-bit float stands for: its value truncated toward zero when that converts
// back to the same float; none for a fraction, NaN, an infinity or a value outside int32.
std::optional<int32_t> whole_label(float label);

}  // namespace morla

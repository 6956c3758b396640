#pragma once
// The input-shift memory of a v2 NP: 24-bit words of eight 3-bit shifts.
#include <cstdint>

#include "core/tensor.h"

namespace morla::v2 {

// Input-shift words taken by an "input_shift" tensor: one per eight elements.
uint32_t shift_memory_bytes(const Tensor& input_shift);

}  // namespace morla::v2

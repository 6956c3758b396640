#pragma once
// The input-shift memory of a v2 NP: 24-bit words of eight 3-bit shifts.
#include <cstdint>

#include "engine_api/tensor.h"
#include "contract/hardware_description.h"
#include "contract/mapping_status.h"

namespace morla::v2 {

// Input-shift words taken by an "input_shift" tensor: one per eight elements.
uint32_t shift_memory_bytes(const Tensor& input_shift);

// Fails the layer when `words` input-shift words exceed the description's input-shift memory.
MappingStatus check_input_shift_words(const HardwareDescription& description, const Layer& layer,
                                      uint32_t words);
// The same for the layer's whole "input_shift" variable, which must exist.
MappingStatus check_input_shift(const HardwareDescription& description, const Layer& layer);

}  // namespace morla::v2

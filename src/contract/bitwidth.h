#pragma once
// How many bits the values of a tensor need, and the check of a layer variable against a
// hardware field width.
#include <cstdint>
#include <memory>
#include <string>

#include "engine_api/tensor.h"
#include "contract/mapping_status.h"

namespace morla {

class Layer;

// Bits needed to hold every value of the tensor, a sign bit included for signed types
// (at least 2 for a non-empty signed tensor, 1 for an unsigned one; 0 when empty).
// Throws std::runtime_error for float32 and unknown types.
int evaluate_bitwidth(const Tensor& tensor);

// Success when the layer's variable `name` fits `max_bits`, or is absent and not required.
MappingStatus check_variable_bitwidth(const std::shared_ptr<Layer>& layer, uint32_t max_bits,
                                      const std::string& name, bool required);

}  // namespace morla

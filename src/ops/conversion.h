#pragma once
// Element-type conversions of whole tensors.
#include <memory>

#include "engine_api/tensor.h"

namespace morla {

// float32 to int32 in 1/16 units: floor(x * 16) computed in double. Values beyond the int32
// range saturate; NaN gives INT32_MIN. Another element type panics "Wrong requested type".
std::shared_ptr<Dense> float_to_fixed_q4(const Dense& values);
std::shared_ptr<Dense> float_to_fixed_q4(const std::shared_ptr<const Dense>& values);

namespace ops {

// int32 copy of an integer tensor: signed types sign-extended (bit is stored as int8),
// unsigned 8-bit types zero-extended. float32, uint16 and unknown types throw
// std::runtime_error "Unexpected input type.".
std::shared_ptr<Dense> to_int32_dense(const Dense& inputs);
// int8 tensor of the low 8 bits of each int32 element (callers clip first).
std::shared_ptr<Dense> to_int8_dense(const Dense& inputs);

}  // namespace ops
}  // namespace morla

#pragma once
// A recorder's view of a layer's variables: required ones are refused by name when absent
// or too short, instead of being read past their end.
#include <cstddef>
#include <memory>

#include "engine_api/layer.h"
#include "engine_api/tensor.h"

namespace morla::v2 {

// The variable, or null when the layer does not hold it.
std::shared_ptr<Dense> optional_variable(const Layer& layer, const char* name);
// The variable; std::runtime_error naming the layer and the variable when it is absent or
// holds no element.
std::shared_ptr<Dense> required_variable(const Layer& layer, const char* name);
// std::runtime_error naming the layer and the variable unless `tensor` holds elements
// first .. first + count - 1.
void require_elements(const Layer& layer, const char* name, const Tensor& tensor, size_t first,
                      size_t count);

}  // namespace morla::v2

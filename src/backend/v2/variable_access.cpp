#include "backend/v2/variable_access.h"

#include <stdexcept>
#include <string>

#include "engine_api/variables.h"

namespace morla::v2 {

std::shared_ptr<Dense> optional_variable(const Layer& layer, const char* name) {
  const Variables& variables = layer.variables();
  return variables.has(name) ? variables.get(name) : nullptr;
}

std::shared_ptr<Dense> required_variable(const Layer& layer, const char* name) {
  auto tensor = optional_variable(layer, name);
  if (!tensor)
    throw std::runtime_error("Layer '" + layer.name() + "' has no variable '" + name + "'.");
  if (tensor->size() == 0)
    throw std::runtime_error("Layer '" + layer.name() + "' has an empty variable '" + name + "'.");
  return tensor;
}

void require_elements(const Layer& layer, const char* name, const Tensor& tensor, size_t first,
                      size_t count) {
  if (first + count <= tensor.size()) return;
  throw std::runtime_error("Layer '" + layer.name() + "': variable '" + name + "' holds " +
                           std::to_string(tensor.size()) + " elements, elements " +
                           std::to_string(first) + " to " + std::to_string(first + count - 1) +
                           " are needed.");
}

}  // namespace morla::v2

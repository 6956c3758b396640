#pragma once
// How the v1 back end reads a layer: its parameters, its input shape, its variables and its
// engine type.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "engine_api/layer.h"
#include "engine_api/tensor.h"
#include "core/enums.h"
#include "core/hw_version.h"
#include "core/shape.h"
#include "contract/component.h"

namespace morla::v1 {

// The layer's type, from its parameters.
LayerType layer_type(const Layer& layer);

// An integer parameter of the layer (std::invalid_argument for a key it does not hold).
int param(const Layer& layer, const std::string& key);

// The layer's first input shape; std::runtime_error "Cannot get input size before it is
// set." while the engine has not set it.
Shape input_shape(const Layer& layer);

// The layer's variable `name`.
std::shared_ptr<Dense> variable(const Layer& layer, const std::string& name);

// The split block of an NP component; std::runtime_error when the component has none.
const hw::NpBlock& require_np_block(const hw::Component& component);

// The layer as the engine's v1 type T (Convolutional, FullyConnected, ...).
template <typename T>
const T& as_engine_type(const Layer& layer) {
  if (const auto* typed = dynamic_cast<const T*>(&layer)) return *typed;
  throw std::invalid_argument("The layer " + layer.name() + " is not of the expected engine type.");
}

}  // namespace morla::v1

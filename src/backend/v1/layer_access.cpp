#include "backend/v1/layer_access.h"

#include "engine_api/layer_params.h"
#include "engine_api/variables.h"

namespace morla::v1 {

namespace {

const LayerParams& params_of(const Layer& layer) {
  const LayerParams* params = layer.params();
  if (!params) throw std::invalid_argument("The layer " + layer.name() + " has no parameters.");
  return *params;
}

}  // namespace

LayerType layer_type(const Layer& layer) { return params_of(layer).layer_type(); }

int param(const Layer& layer, const std::string& key) { return params_of(layer).get(key); }

Shape input_shape(const Layer& layer) {
  Shape shape = layer.input_dims();
  if (shape.size() == 0) throw std::runtime_error("Cannot get input size before it is set.");
  return shape;
}

std::shared_ptr<Dense> variable(const Layer& layer, const std::string& name) {
  return layer.variables().get(name);
}

const hw::NpBlock& require_np_block(const hw::Component& component) {
  if (!component.np_block)
    throw std::runtime_error("An NP component without a split block cannot take this layer.");
  return *component.np_block;
}

}  // namespace morla::v1

// Learning and measuring a classifier: growing the last layer by classes, and the class
// each output votes for.
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

#include "engine_api/layer_params.h"
#include "engine_api/variables.h"
#include "engine_api/variables_impl.h"
#include "model/model_session.h"

namespace morla {

namespace {

struct SavedVariable {
  std::string name;
  std::shared_ptr<Dense> value;
};

std::shared_ptr<Dense> copy_of(const Dense& value) {
  return Dense::copy(static_cast<const char*>(value.buffer().data()), value.buffer().size(),
                     value.type(), value.shape(), value.layout());
}

std::vector<SavedVariable> snapshot(const Layer& layer) {
  std::vector<SavedVariable> saved;
  const Variables& variables = layer.variables();
  for (const auto& name : variables.names()) saved.push_back({name, copy_of(*variables.get(name))});
  return saved;
}

// The old weights keep their coordinates (a, i) in the larger tensor, whatever the strides.
void copy_weights(const Dense& old, Dense& copy) {
  const Shape old_shape = old.shape(), new_shape = copy.shape();
  if (old_shape.size() != 2 || new_shape.size() != 2 || old_shape[0] > new_shape[0] ||
      old_shape[1] > new_shape[1])
    throw std::runtime_error("The weights of the grown layer cannot hold the old ones.");
  const int8_t* src = old.data<int8_t>();
  int8_t* dst = copy.mutable_data<int8_t>();
  const auto so = old.strides(), sn = copy.strides();
  for (uint32_t a = 0; a < old_shape[0]; ++a)
    for (uint32_t i = 0; i < old_shape[1]; ++i)
      dst[size_t{a} * sn[0] + size_t{i} * sn[1]] = src[size_t{a} * so[0] + size_t{i} * so[1]];
}

// The new layer's tensor with the old values carried over.
std::shared_ptr<Dense> carried(const std::string& name, const Dense& old, const Dense& fresh) {
  std::shared_ptr<Dense> copy = copy_of(fresh);
  if (name == "weights") {
    copy_weights(old, *copy);
  } else {
    if (old.buffer().size() > copy->buffer().size())
      throw std::runtime_error("Variable '" + name +
                               "' of the grown layer is smaller than before.");
    std::memcpy(copy->buffer().mutable_data(), old.buffer().data(), old.buffer().size());
  }
  return copy;
}

template <typename T>
std::vector<int32_t> strongest(const Dense& dense, size_t n, uint32_t num_classes, T lowest) {
  std::vector<int32_t> labels(n, -1);
  const size_t size = dense.size();
  if (size < n * num_classes) return labels;
  const size_t block = size / (n * num_classes);
  const T* values = static_cast<const T*>(dense.buffer().data());
  for (size_t f = 0; f < n; ++f) {
    T best = lowest;
    for (uint32_t c = 0; c < num_classes; ++c)
      for (size_t j = 0; j < block; ++j) {
        const T v = values[(f * num_classes + c) * block + j];
        if (v > best) {
          best = v;
          labels[f] = static_cast<int32_t>(c);
        }
      }
  }
  return labels;
}

}  // namespace

void ModelSession::add_classes(int32_t num_add_classes) {
  if (num_add_classes <= 0)
    throw std::invalid_argument("The number of classes to add must be positive.");
  const size_t count = model_->layer_count();
  const auto old_layer = count ? model_->get_layer(count - 1) : nullptr;
  if (!old_layer) throw std::runtime_error("The model must have at least one layer.");
  const LayerParams& old_params = *old_layer->params();
  if (old_params.layer_type() != LayerType::FullyConnected)
    throw std::runtime_error("The last layer must be a FullyConnected layer.");
  const auto old_learning = model_->learning();
  if (!old_learning || !old_layer->compiled())
    throw std::runtime_error("The last layer must be compiled.");

  // Every count is checked before the model changes.
  std::map<std::string, double> learning;
  for (const auto& key : old_learning->keys()) learning[key] = old_learning->get(key);
  const double old_classes = learning["num_classes"];
  if (!(old_classes >= 1) || old_classes != std::floor(old_classes))
    throw std::runtime_error("The learning parameters must hold a positive number of classes.");
  const int64_t units = old_params.get("units");
  const auto per_class = static_cast<int64_t>(static_cast<double>(units) / old_classes);
  const int64_t new_units = units + int64_t{num_add_classes} * per_class;
  if (new_units > std::numeric_limits<int32_t>::max() ||
      old_classes + num_add_classes > std::numeric_limits<int32_t>::max())
    throw std::invalid_argument("Too many classes to add.");
  learning["num_classes"] = old_classes + num_add_classes;
  const auto new_learning = LearningParams::create(old_learning->learning_type(), learning);
  std::map<std::string, int> entries = {{"units", static_cast<int>(new_units)}};
  for (const char* key : {"weights_bits", "activation", "act_bits"})
    entries[key] = old_params.get(key);
  const auto new_params = LayerParams::create(LayerType::FullyConnected, entries);
  const auto new_layer = Layer::create(new_params.get(), old_layer->name());
  if (!new_layer) throw std::runtime_error("The grown layer could not be created.");
  // Stored "weights" must be signed 8-bit storage (panics with the type names otherwise).
  old_layer->variables().get("weights")->data<int8_t>();

  const auto old_inbounds = old_layer->inbound_layers();
  const std::vector<SavedVariable> saved = snapshot(*old_layer);
  model_->pop_layer();
  try {
    model_->add(new_layer, {});
    model_->compile(new_learning);
    for (const auto& [name, old] : saved)
      new_layer->variables().set(name, carried(name, *old, *new_layer->variables().get(name)));
  } catch (...) {
    // Put the old layer back as it was, learned values included.
    if (model_->layer_count() == count) model_->pop_layer();
    model_->add(old_layer, old_inbounds);
    model_->compile(old_learning);
    for (const auto& [name, value] : saved) old_layer->variables().set(name, value);
    throw;
  }
  // Writes through the old layer's variables would change a layer no model holds.
  if (auto* store = dynamic_cast<VariablesImpl*>(&old_layer->variables()))
    store->retire("Layer '" + old_layer->name() +
                  "' was replaced by add_classes: take its variables from the model again.");
}

std::vector<int32_t> predict_labels(const std::shared_ptr<const Tensor>& outputs,
                                    uint32_t num_classes) {
  const TensorType type = outputs->type();
  const bool handled = type == TensorType::int32 || type == TensorType::float32 ||
                       type == TensorType::uint8 || type == TensorType::uint4 ||
                       type == TensorType::uint2 || type == TensorType::bit ||
                       type == TensorType::int8;
  if (!handled)
    throw std::runtime_error(std::string("cannot evaluate on a Tensor of type ") +
                             Tensor::type_name(type));
  if (num_classes <= 1)
    throw std::invalid_argument("Cannot classify with " + std::to_string(num_classes) +
                                "class(es).");
  const Shape shape = outputs->shape();
  const uint32_t neurons = shape[3];
  if (neurons % num_classes != 0)
    throw std::invalid_argument("The number of neurons [" + std::to_string(neurons) +
                                "] is not a multiple of " + " the number of classes [" +
                                std::to_string(num_classes) + "].");
  const auto dense = Tensor::ensure_dense(outputs);
  const size_t n = shape[0];
  switch (type) {
    case TensorType::int32: return strongest<int32_t>(*dense, n, num_classes, INT32_MIN);
    case TensorType::float32:
      return strongest<float>(*dense, n, num_classes, std::numeric_limits<float>::lowest());
    case TensorType::int8: return strongest<int8_t>(*dense, n, num_classes, INT8_MIN);
    default: return strongest<uint8_t>(*dense, n, num_classes, 0);
  }
}

}  // namespace morla

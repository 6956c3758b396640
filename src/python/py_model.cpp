// Model construction, model files and the accessors that read the engine model.
#include "python/py_model.h"

#include <map>
#include <stdexcept>
#include <string>

#include "core/layer_params.h"
#include "core/model_file.h"
#include "core/sequence.h"
#include "core/variables.h"
#include "mapping/component.h"
#include "mapping/layer_mapping.h"

namespace morla::python {

namespace {

// Every entry is checked before anything is added: no None, and a first layer that is not
// an input layer must know its input shape (a layer taken from a model), since the InputData
// layer placed before it is built from that shape.
void check_layer_list(const std::vector<std::shared_ptr<Layer>>& layers) {
  for (const auto& layer : layers)
    if (!layer) throw std::runtime_error("Invalid layer received");
  const Layer& first = *layers.front();
  if (!first.is_input_layer() && first.input_dims().size() < 3)
    throw std::invalid_argument("The first layer '" + first.name() +
                                "' is not an input layer and has no input shape: start the list "
                                "with an input layer or with layers taken from a model.");
}

std::shared_ptr<Layer> input_layer_for(const Layer& first) {
  const Shape dims = first.input_dims();
  const auto bits = static_cast<uint8_t>(first.input_bits());
  // The input is signed when the layer that fed the first one in its own model was.
  const auto inbounds = first.inbound_layers();
  const bool producer_signed = !inbounds.empty() && inbounds.front()->output_signed();
  const std::map<std::string, int> entries = {
      {"input_width", static_cast<int>(dims[0])},
      {"input_height", static_cast<int>(dims[1])},
      {"input_channels", static_cast<int>(dims[2])},
      {"input_bits", bits},
      {"input_signed", bits >= 8 && producer_signed ? 1 : 0}};
  const auto params = LayerParams::create(LayerType::InputData, entries);
  return Layer::create(params.get(), "InputData");
}

}  // namespace

PyModel::PyModel(const std::string& filename) {
  const SharedBytes serialized = read_model_file(filename);
  model_ = Model::from_buffer(reinterpret_cast<const char*>(serialized.data()), serialized.size());
}

PyModel::PyModel(const std::vector<std::shared_ptr<Layer>>& layers) : model_(Model::create()) {
  if (layers.empty()) return;
  check_layer_list(layers);
  if (!layers.front()->is_input_layer()) model_->add(input_layer_for(*layers.front()), {});
  for (size_t i = 0; i < layers.size(); ++i) {
    const Layer& source = *layers[i];
    auto layer = Layer::create(source.params(), source.name());
    if (!layer) throw std::runtime_error("Invalid layer received");
    std::vector<std::shared_ptr<Layer>> inbounds;
    if (i > 0)
      for (const auto& inbound : source.inbound_layers())
        inbounds.push_back(model_->get_layer(inbound->name()));
    model_->add(layer, inbounds);
    if (source.compiled()) model_->compile(LearningParams::clone(source.learning_params()));
    // The same tensors: the store copies their values.
    const Variables& variables = source.variables();
    for (const auto& name : variables.names()) layer->variables().set(name, variables.get(name));
  }
}

void PyModel::save(const std::string& model_file) const {
  write_model_file(model_file, model_->serialize().range());
}

py::bytes PyModel::to_buffer() const {
  const SharedBytes serialized = model_->serialize();
  return py::bytes(reinterpret_cast<const char*>(serialized.data()), serialized.size());
}

void PyModel::add(std::shared_ptr<Layer> layer,
                  std::vector<std::shared_ptr<Layer>> inbound_layers) {
  model_->add(std::move(layer), std::move(inbound_layers));
}

namespace {

// The components a mapped layer uses: its skip-DMA load and store, then its NPs.
template <typename Visit> void for_each_component(const Layer& layer, Visit visit) {
  const LayerMapping* mapping = layer_mapping(layer);
  if (!mapping) return;
  if (const hw::Component* load = skip_dma_load(*mapping)) visit(*load);
  if (const hw::Component* store = output_skip_dma_store(*mapping)) visit(*store);
  if (mapping->nps)
    for (const auto& component : *mapping->nps) visit(component);
}

}  // namespace

std::map<hw::Type, size_t> PyModel::component_count() const {
  std::map<hw::Type, size_t> counts;
  for (const auto& layer : model_->layers())
    for_each_component(*layer, [&](const hw::Component& c) { ++counts[c.type]; });
  return counts;
}

uint32_t PyModel::external_memory_size() const {
  uint32_t total = 0;
  for (const auto& sequence : model_->sequences())
    for (const auto& pass : sequence->passes())
      for (const auto& layer : pass->layers)
        for_each_component(*layer, [&](const hw::Component& c) { total += c.mem_info.external_size; });
  return total;
}

}  // namespace morla::python

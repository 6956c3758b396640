#include "model/model_session.h"

#include <map>
#include <stdexcept>
#include <string>

#include "core/device.h"
#include "engine_api/hardware_device.h"
#include "engine_api/layer_params.h"
#include "engine_api/sequence.h"
#include "engine_api/variables.h"
#include "core/platform.h"
#include "devices/device_run.h"
#include "model/model_file.h"
#include "contract/component.h"
#include "contract/layer_mapping.h"

namespace morla {

namespace {

// Every entry is checked before anything is added: no null, and a first layer that is not
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

// The components a mapped layer uses: its skip-DMA load and store, then its NPs.
template <typename Visit>
void for_each_component(const Layer& layer, Visit visit) {
  const LayerMapping* mapping = layer_mapping(layer);
  if (!mapping) return;
  if (const hw::Component* load = skip_dma_load(*mapping)) visit(*load);
  if (const hw::Component* store = output_skip_dma_store(*mapping)) visit(*store);
  if (mapping->nps)
    for (const auto& component : *mapping->nps) visit(component);
}

}  // namespace

ModelSession::ModelSession(std::unique_ptr<Model> model) : model_(std::move(model)) {
  if (!model_) throw std::invalid_argument("A model session needs a model.");
}

ModelSession ModelSession::from_file(const std::string& filename) {
  return ModelSession(Model::from_buffer(read_model_file(filename)));
}

ModelSession ModelSession::from_layers(const std::vector<std::shared_ptr<Layer>>& layers) {
  ModelSession session(Model::create());
  if (layers.empty()) return session;
  check_layer_list(layers);
  Model& model = *session.model_;
  if (!layers.front()->is_input_layer()) model.add(input_layer_for(*layers.front()), {});
  for (size_t i = 0; i < layers.size(); ++i) {
    const Layer& source = *layers[i];
    auto layer = Layer::create(source.params(), source.name());
    if (!layer) throw std::runtime_error("Invalid layer received");
    std::vector<std::shared_ptr<Layer>> inbounds;
    if (i > 0)
      for (const auto& inbound : source.inbound_layers())
        inbounds.push_back(model.get_layer(inbound->name()));
    model.add(layer, inbounds);
    if (source.compiled()) model.compile(LearningParams::clone(source.learning_params()));
    // The same tensors: the store copies their values.
    const Variables& variables = source.variables();
    for (const auto& name : variables.names()) layer->variables().set(name, variables.get(name));
  }
  return session;
}

void ModelSession::save(const std::string& model_file) const {
  write_model_file(model_file, model_->serialize().range());
}

std::shared_ptr<Tensor> ModelSession::run_inference(const Inputs& inputs,
                                                    const Operation& operation) {
  if (model_->layer_count() == 0)
    throw std::invalid_argument("Cannot perform an inference on a model with no layers");
  const std::shared_ptr<Dense> tensor = inputs();
  power_events_.clear();
  InferenceMeasure measure;
  measure.frames = tensor->shape()[0];

  const auto device = model_->device();
  HardwareDevice* hardware = device ? device->hardware() : nullptr;
  uint32_t clk0 = 0;
  if (hardware) {
    hardware->set_clock_counter_enabled(true);
    clk0 = hardware->clock_counter();
  }
  measure.start_ms = time_ms();
  std::shared_ptr<Tensor> result = operation(tensor);
  measure.end_ms = time_ms();
  if (hardware) {
    const uint32_t clk1 = hardware->clock_counter();
    hardware->set_clock_counter_enabled(false);
    measure.clock_count = clk1 - clk0;  // modulo 2^32: a counter that wrapped still counts
    measure.program_clock_count = hardware->program_clock_count();
  }
  record_inference(metrics_, measure);
  if (hardware)
    if (auto events = device_power_events(*hardware)) power_events_ = std::move(*events);
  return result;
}

std::shared_ptr<Tensor> ModelSession::forward(const Inputs& inputs, uint32_t batch_size) {
  return run_inference(inputs, [&](std::shared_ptr<Dense> tensor) {
    return model_->forward(std::move(tensor), batch_size);
  });
}

std::shared_ptr<Tensor> ModelSession::predict(const Inputs& inputs, uint32_t batch_size) {
  return run_inference(inputs, [&](std::shared_ptr<Dense> tensor) {
    return model_->predict(std::move(tensor), batch_size);
  });
}

std::shared_ptr<Tensor> ModelSession::fit(const Inputs& inputs, const std::vector<int32_t>& labels,
                                          uint32_t batch_size) {
  return run_inference(inputs, [&](std::shared_ptr<Dense> tensor) {
    return model_->fit(std::move(tensor), labels, batch_size);
  });
}

float ModelSession::evaluate(const Inputs& inputs, const std::vector<int32_t>& labels,
                             uint32_t num_classes, uint32_t batch_size) {
  if (model_->layer_count() == 0)
    throw std::invalid_argument("Cannot perform an inference on a model with no layers");
  if (num_classes == 0) num_classes = model_->output_shape()[2];
  const bool activation = model_->layers().back()->has_activation();
  const auto outputs = activation ? forward(inputs, batch_size) : predict(inputs, batch_size);
  const std::vector<int32_t> predicted = predict_labels(outputs, num_classes);
  size_t correct = 0;
  for (size_t i = 0; i < predicted.size() && i < labels.size(); ++i)
    if (predicted[i] == labels[i]) ++correct;
  return static_cast<float>(correct) / static_cast<float>(labels.size());
}

std::map<hw::Type, size_t> ModelSession::component_count() const {
  std::map<hw::Type, size_t> counts;
  for (const auto& layer : model_->layers())
    for_each_component(*layer, [&](const hw::Component& c) { ++counts[c.type]; });
  return counts;
}

uint32_t ModelSession::external_memory_size() const {
  uint32_t total = 0;  // wraps modulo 2^32
  for (const auto& sequence : model_->sequences())
    for (const auto& pass : sequence->passes())
      for (const auto& layer : pass->layers)
        for_each_component(*layer,
                           [&](const hw::Component& c) { total += c.mem_info.external_size; });
  return total;
}

}  // namespace morla

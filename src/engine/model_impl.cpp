#include "engine/model_impl.h"

#include <algorithm>
#include <stdexcept>

#include "core/device.h"
#include "engine_api/hardware_device.h"
#include "engine_api/layer_params.h"
#include "core/mesh.h"
#include "engine/engine_layer.h"
#include "engine/layer_arithmetic.h"
#include "engine/model_mapping.h"
#include "engine/model_runner.h"
#include "engine/model_serializer.h"
#include "engine/unsupervised_learning.h"
#include "hwmap/map_model.h"
#include "mapping/map_constraints.h"

namespace morla {
namespace engine {

namespace {

EngineLayer& engine_layer(const std::shared_ptr<Layer>& layer) {
  auto* impl = dynamic_cast<EngineLayer*>(layer.get());
  if (!impl) throw std::invalid_argument("The layer was not created by this engine.");
  return *impl;
}

// How many values each layer's variables have taken.
std::vector<uint64_t> variable_writes(const std::vector<std::shared_ptr<Layer>>& layers) {
  std::vector<uint64_t> writes;
  writes.reserve(layers.size());
  for (const auto& layer : layers) writes.push_back(engine_layer(layer).variable_writes());
  return writes;
}

// What a mapping reads of a device: its version and its mesh.
bool same_device(const Device& a, const Device& b) {
  return &a == &b || (a.version() == b.version() && a.mesh() == b.mesh());
}

}  // namespace

ModelImpl::~ModelImpl() {
  for (const auto& layer : layers_) engine_layer(layer).set_owner(nullptr);
}

void ModelImpl::add(std::shared_ptr<Layer> layer, std::vector<std::shared_ptr<Layer>> inbounds) {
  if (!layer) throw std::invalid_argument("Cannot add a null layer to a model.");
  EngineLayer& added = engine_layer(layer);
  if (added.owner())
    throw std::invalid_argument("Layer '" + layer->name() +
                                "' already belongs to a model: pop it from that model first, or "
                                "copy it with Model([...]).");
  if (get_layer(layer->name()))
    throw std::invalid_argument("A layer named '" + layer->name() + "' is already in the model.");
  for (const auto& inbound : inbounds)
    if (!inbound || std::find(layers_.begin(), layers_.end(), inbound) == layers_.end())
      throw std::invalid_argument("Inbound layer of '" + layer->name() + "' is not in the model.");
  if (inbounds.empty() && !layers_.empty() && !layer->is_input_layer() &&
      layer->params()->layer_type() != LayerType::Quantizer)
    inbounds.push_back(layers_.back());
  // Linking either succeeds or leaves the layer as it was.
  added.set_inbounds(inbounds);
  for (const auto& inbound : inbounds) engine_layer(inbound).add_outbound(layer);
  added.set_owner(this);
  layers_.push_back(std::move(layer));
  update_ip_version();
}

void ModelImpl::pop_layer() {
  if (layers_.empty()) throw std::runtime_error("Cannot pop a layer from an empty model.");
  const std::shared_ptr<Layer> last = layers_.back();
  for (const auto& inbound : last->inbounds()) engine_layer(inbound).remove_outbound(last.get());
  layers_.pop_back();
  engine_layer(last).set_owner(nullptr);
  if (layers_.empty() || last->compiled()) learning_.reset();
  update_ip_version();
}

void ModelImpl::update_ip_version() {
  ip_ = IpVersion::none;
  for (const auto& layer : layers_) {
    if (engine_layer(layer).info().ip != IpVersion::none) {
      ip_ = layer->ip_version();
      break;
    }
  }
  for (const auto& layer : layers_) engine_layer(layer).set_model_ip(ip_);
}

void ModelImpl::compile(std::shared_ptr<LearningParams> learning) {
  if (layers_.empty()) throw std::runtime_error("Cannot compile an empty model.");
  if (!learning) throw std::invalid_argument("Cannot compile a layer without learning parameters.");
  EngineLayer& last = engine_layer(layers_.back());
  check_learning(last, *learning);  // before anything changes
  last.compile(learning);
  init_learning(last, *learning);
  learning_ = std::move(learning);
}

std::shared_ptr<Layer> ModelImpl::get_layer(const std::string& name) const {
  for (const auto& layer : layers_)
    if (layer->name() == name) return layer;
  return nullptr;
}

std::shared_ptr<Layer> ModelImpl::get_layer(size_t index) const {
  return index < layers_.size() ? layers_[index] : nullptr;
}

Shape ModelImpl::input_shape() const {
  if (layers_.empty()) throw std::runtime_error("The model has no layers.");
  return layers_.front()->input_dims();
}

Shape ModelImpl::output_shape() const {
  if (layers_.empty()) throw std::runtime_error("The model has no layers.");
  return layers_.back()->output_dims();
}

uint64_t ModelImpl::macs() const {
  uint64_t total = 0;
  for (const auto& layer : layers_) total += layer->macs();
  return total;
}

SharedBytes ModelImpl::serialize() const { return serialize_model(*this); }

namespace {

void require_inputs(const std::shared_ptr<Dense>& inputs) {
  if (!inputs) throw std::invalid_argument("No inputs given.");
}

}  // namespace

std::shared_ptr<Tensor> ModelImpl::fit(std::shared_ptr<Dense> inputs,
                                       const std::vector<int32_t>& labels, uint32_t batch_size) {
  require_inputs(inputs);
  if (!learning_ || layers_.empty() || !layers_.back()->compiled())
    throw std::runtime_error("The model must be compiled before it can learn.");
  const size_t count = inputs->shape().size() ? inputs->shape()[0] : 0;
  if (labels.size() > 1 && labels.size() != count)
    throw std::runtime_error("Number of labels should be the same as number of inputs.");
  EngineLayer& last = engine_layer(layers_.back());
  const std::shared_ptr<LearningParams> learning = learning_;
  const ModelRunner::LastLayerHook learn_frame = [&](size_t index,
                                                     const std::vector<Frame>& layer_inputs) {
    if (labels.empty()) {
      learn(last, *learning, *layer_inputs.at(0), -1);
      return true;
    }
    const int32_t label = labels.size() == 1 ? labels[0] : labels[index];
    if (label < 0) return false;  // no class: the input is discarded
    learn(last, *learning, *layer_inputs.at(0), label);
    return true;
  };
  if (runs_on_hardware()) {
    check_hardware_run(*inputs);
    // What the run writes into the layers is the values the device learned and now holds:
    // no change to what runs there, whether or not the run ends well. The board keeps them
    // for the model (or the model knows it cannot put them back).
    const uint64_t writes = last.variable_writes();
    const auto keep_learned = [&] {
      note_program_writes();
      if (sequences_.back()->backend() == BackendType::Hardware && last.variable_writes() != writes)
        board_learning_.learned(*device_->hardware());
    };
    std::shared_ptr<Tensor> outputs;
    try {
      outputs = run_on_board(std::move(inputs), {batch_size, &labels, learn_frame});
    } catch (...) {
      keep_learned();
      throw;
    }
    keep_learned();
    return outputs;
  }
  return ModelRunner(layers_).run(*inputs, batch_size, learn_frame);
}

void ModelImpl::check_hardware_run(const Dense& inputs) const {
  const bool written =
      std::any_of(program_writes_.begin(), program_writes_.end(), [](const auto& entry) {
        return engine_layer(entry.first).variable_writes() != entry.second;
      });
  if (layers_ != mapped_layers_ || learning_ != mapped_learning_ || written) refuse_changed_model();
  // A device takes the frames as they come: they get the checks of a run in software.
  ModelRunner(layers_).check_inputs(inputs);
}

void ModelImpl::note_program_writes() {
  program_writes_.clear();
  for (const auto& sequence : sequences_) {
    if (sequence->backend() != BackendType::Hardware) continue;
    for (const auto& pass : sequence->passes())
      for (const auto& layer : pass->layers)
        program_writes_.emplace_back(layer, engine_layer(layer).variable_writes());
  }
}

bool ModelImpl::runs_on_hardware() const {
  return device_ && device_->hardware() && !sequences_.empty();
}

std::shared_ptr<Dense> ModelImpl::run_on_board(std::shared_ptr<Dense> inputs, SequenceRun run) {
  HardwareDevice& board = *device_->hardware();
  run.before_hardware = [&](const Sequence& sequence, bool last) {
    board_learning_.before_run(board, sequence, last);
  };
  return run_sequences(sequences_, std::move(inputs), run);
}

std::shared_ptr<Dense> ModelImpl::run(std::shared_ptr<Dense> inputs, uint32_t batch_size) {
  if (runs_on_hardware()) {
    check_hardware_run(*inputs);
    return run_on_board(std::move(inputs), {batch_size});
  }
  return ModelRunner(layers_).run(*inputs, batch_size);
}

std::shared_ptr<Tensor> ModelImpl::forward(std::shared_ptr<Dense> inputs, uint32_t batch_size) {
  require_inputs(inputs);
  return run(std::move(inputs), batch_size);
}

std::shared_ptr<Tensor> ModelImpl::predict(std::shared_ptr<Dense> inputs, uint32_t batch_size) {
  require_inputs(inputs);
  if (!layers_.empty() && layers_.back()->has_activation())
    throw std::runtime_error(
        "Predict applies only to models without an activation on the last layer.");
  const std::shared_ptr<Dense> outputs = run(std::move(inputs), batch_size);
  if (outputs->type() == TensorType::float32) return outputs;
  return convert_frame(*outputs, TensorType::float32);
}

void ModelImpl::map(std::shared_ptr<Device> device, bool hw_only,
                    std::shared_ptr<MapConstraints> constraints) {
  // A constraints hook that mapped the model again would leave the inner mapping in place
  // when the outer one fails: a mapping in progress is refused, and the outer one goes on.
  if (mapping_)
    throw std::runtime_error("The model is being mapped: a mapping hook cannot map it again.");
  mapping_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{mapping_};
  // The old sequences go first, and with them the layers' old mappings; nothing of a failed
  // mapping stays.
  sequences_.clear();
  device_.reset();
  mapped_layers_.clear();
  mapped_learning_.reset();
  program_writes_.clear();
  board_learning_ = BoardLearning();
  if (!device) throw std::invalid_argument("Cannot map a model on a null device.");
  if (!constraints) constraints = std::make_shared<MapConstraints>(device);
  // The mapping places the layers on the constraints' device: it must be the one the
  // model is mapped on and will run on.
  if (!same_device(*constraints->device(), *device))
    throw std::invalid_argument("The map constraints were made for another device.");
  // What is mapped is the model as it is now. A constraints hook that changes it (layers,
  // learning or variables) would leave sequences of another model: they are dropped, and
  // with them the layers' mappings.
  std::vector<std::shared_ptr<Layer>> layers = layers_;
  std::shared_ptr<LearningParams> learning = learning_;
  const std::vector<uint64_t> writes = variable_writes(layers);
  auto sequences = map_sequences(layers, hw_only, constraints, &map_model_on_device);
  if (layers_ != layers || learning_ != learning || variable_writes(layers) != writes)
    throw std::invalid_argument("The model changed while it was being mapped.");
  sequences_ = std::move(sequences);
  device_ = std::move(device);
  mapped_layers_ = std::move(layers);
  mapped_learning_ = std::move(learning);
  note_program_writes();
}

}  // namespace engine

std::unique_ptr<Model> Model::create() { return std::make_unique<engine::ModelImpl>(); }

}  // namespace morla

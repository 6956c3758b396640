#pragma once
// The stand-in engine's model: an ordered list of layers linked by their inbounds.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine_api/model.h"
#include "engine/board_learning.h"
#include "engine/sequence_runner.h"

namespace morla::engine {

class EngineLayer;

class ModelImpl : public Model {
 public:
  ModelImpl() = default;
  ModelImpl(const ModelImpl&) = delete;
  ModelImpl& operator=(const ModelImpl&) = delete;
  // Its layers belong to no model afterwards.
  ~ModelImpl() override;

  // Appends the layer. Empty inbounds link the layer to the last layer of a non-empty model;
  // an empty model takes only an input layer or a Quantizer. Refuses a null layer, a layer
  // of another model, a duplicate name and an inbound layer that is not in this model; a
  // refused layer is left untouched.
  void add(std::shared_ptr<Layer> layer, std::vector<std::shared_ptr<Layer>> inbounds) override;
  // Removes the last layer and its links; throws std::runtime_error on an empty model.
  void pop_layer() override;
  SharedBytes serialize() const override;
  // Prepares the last layer for learning.
  void compile(std::shared_ptr<LearningParams> learning) override;
  std::shared_ptr<Tensor> fit(std::shared_ptr<Dense> inputs, const std::vector<int32_t>& labels,
                              uint32_t batch_size) override;
  std::shared_ptr<Tensor> forward(std::shared_ptr<Dense> inputs, uint32_t batch_size) override;
  std::shared_ptr<Tensor> predict(std::shared_ptr<Dense> inputs, uint32_t batch_size) override;
  // Replaces the sequences: hardware sequences for what the device takes, software
  // sequences for the rest (unless hw_only). On any failure the model is left unmapped; a
  // call made while the model is being mapped (from a constraints hook) is refused.
  void map(std::shared_ptr<Device> device, bool hw_only,
           std::shared_ptr<MapConstraints> constraints) override;
  std::shared_ptr<Layer> get_layer(const std::string& name) const override;
  std::shared_ptr<Layer> get_layer(size_t index) const override;
  const std::vector<std::shared_ptr<Layer>>& layers() const override { return layers_; }
  std::shared_ptr<LearningParams> learning() const override { return learning_; }
  Shape input_shape() const override;
  Shape output_shape() const override;
  size_t layer_count() const override { return layers_.size(); }
  uint64_t macs() const override;
  IpVersion ip_version() const override { return ip_; }
  const std::vector<std::shared_ptr<Sequence>>& sequences() const override { return sequences_; }
  std::shared_ptr<Device> device() const override { return device_; }

 private:
  // The generation of the first layer that has one, handed to the shared layer types.
  void update_ip_version();
  // Mapped on a device with hardware: the sequences run, each on its back end. Mapped on a
  // device without hardware (for inspection) or not mapped: the whole model runs here.
  bool runs_on_hardware() const;
  std::shared_ptr<Dense> run(std::shared_ptr<Dense> inputs, uint32_t batch_size);
  // Before frames go to the device: the model is still the one its programs were made from
  // (the same layers and learning, no variable of a hardware sequence's layer written since),
  // and the inputs fit it.
  void check_hardware_run(const Dense& inputs) const;
  // Takes the variable writes of the hardware sequences' layers as those of their programs.
  void note_program_writes();
  // A run of the sequences on the board, each hardware sequence checked by board_learning_.
  std::shared_ptr<Dense> run_on_board(std::shared_ptr<Dense> inputs, SequenceRun run);

  std::vector<std::shared_ptr<Layer>> layers_;
  std::shared_ptr<LearningParams> learning_;
  IpVersion ip_ = IpVersion::none;
  std::vector<std::shared_ptr<Sequence>> sequences_;
  std::shared_ptr<Device> device_;
  // The layers and learning parameters the sequences were mapped from.
  std::vector<std::shared_ptr<Layer>> mapped_layers_;
  std::shared_ptr<LearningParams> mapped_learning_;
  // Each layer of a hardware sequence with the variable writes its program holds.
  std::vector<std::pair<std::shared_ptr<Layer>, uint64_t>> program_writes_;
  // What the board holds of the last sequence's learning.
  BoardLearning board_learning_;
  // While `map` runs (its hooks call into Python).
  bool mapping_ = false;
};

}  // namespace morla::engine

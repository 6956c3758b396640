#pragma once
// A model as the SDK holds it for its user: the engine model it owns alone, and what it
// keeps between calls (the metrics and power events of the last inference). Everything a
// Python Model does beyond converting arguments happens here.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/model.h"
#include "engine_api/tensor.h"
#include "core/hw_type.h"
#include "drivers/power_meter.h"
#include "model/metrics.h"

namespace morla {

class ModelSession {
 public:
  // Converts the caller's inputs; called once the model is known to have layers.
  using Inputs = std::function<std::shared_ptr<Dense>()>;

  explicit ModelSession(std::unique_ptr<Model> model);
  // Reads a model file (.fbz).
  static ModelSession from_file(const std::string& filename);
  // A new model of copies of the layers (their parameters, learning and variables), with
  // an InputData layer in front when the first one is not an input layer.
  static ModelSession from_layers(const std::vector<std::shared_ptr<Layer>>& layers);

  // Writes the model file; refuses a model whose buffer is beyond what a file can hold.
  void save(const std::string& model_file) const;

  // Inference: throws std::invalid_argument "Cannot perform an inference on a model with
  // no layers" before the inputs are converted; times the engine call and writes the
  // metrics; collects the power events of a run on hardware.
  std::shared_ptr<Tensor> forward(const Inputs& inputs, uint32_t batch_size);
  std::shared_ptr<Tensor> predict(const Inputs& inputs, uint32_t batch_size);
  std::shared_ptr<Tensor> fit(const Inputs& inputs, const std::vector<int32_t>& labels,
                              uint32_t batch_size);

  // Grows a compiled FullyConnected last layer by the units of `num_add_classes` more
  // classes, keeping what it learned; a refusal leaves the model as it was. Variables
  // fetched from the old layer refuse writes afterwards (they would reach no model).
  void add_classes(int32_t num_add_classes);
  // The fraction of inputs whose strongest output class equals their label; num_classes 0
  // takes the model's output channels.
  float evaluate(const Inputs& inputs, const std::vector<int32_t>& labels, uint32_t num_classes,
                 uint32_t batch_size);

  // Components of the mapped layers, by type; empty for an unmapped model.
  std::map<hw::Type, size_t> component_count() const;
  // External memory of the mapped components of every sequence, modulo 2^32.
  uint32_t external_memory_size() const;

  Model& model() const { return *model_; }
  Metrics& metrics() { return metrics_; }
  const std::vector<PowerMeter::PowerEvent>& power_events() const { return power_events_; }

 private:
  using Operation = std::function<std::shared_ptr<Tensor>(std::shared_ptr<Dense>)>;
  std::shared_ptr<Tensor> run_inference(const Inputs& inputs, const Operation& operation);

  std::unique_ptr<Model> model_;
  std::vector<PowerMeter::PowerEvent> power_events_;
  Metrics metrics_;
};

// The label of each input: the class of its strongest output (classes are runs of
// neurons, one run per class), -1 when no output beats the lowest value of the type.
// Throws std::runtime_error for output types that cannot be classified and
// std::invalid_argument for fewer than two classes or neurons not a multiple of them.
std::vector<int32_t> predict_labels(const std::shared_ptr<const Tensor>& outputs,
                                    uint32_t num_classes);

}  // namespace morla

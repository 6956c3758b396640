#pragma once
// Runs a model's layers in software: frame by frame, layer by layer in graph order through
// each layer's arithmetic (layer_arithmetic.h).
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/tensor.h"
#include "engine/layer_arithmetic.h"

namespace morla::engine {

class ModelRunner {
 public:
  // Called after the last layer ran on frame `index` of the whole input, with that layer's
  // input frames; returning true rebuilds the last layer's runner (its variables changed).
  using LastLayerHook = std::function<bool(size_t index, const std::vector<Frame>& inputs)>;

  // Refuses (std::invalid_argument) an empty model and layers not made by this engine.
  explicit ModelRunner(const std::vector<std::shared_ptr<Layer>>& layers);
  // A run of a model's layers that starts after other layers ran elsewhere: every inbound
  // outside `layers` reads the run's inputs, which are taken as they come (no value check).
  static ModelRunner segment(const std::vector<std::shared_ptr<Layer>>& layers);

  // inputs: (n, x, y, c) matching the first layer's input shape, of an element type and
  // value range its input takes (std::invalid_argument otherwise). At most kFramesAtOnce
  // frames are in flight whatever batch_size says (0: all). Returns the last layer's
  // outputs (n, x', y', c') in its output type.
  std::shared_ptr<Dense> run(const Dense& inputs, uint32_t batch_size,
                             const LastLayerHook& hook = nullptr);
  // The checks `run` makes of its inputs, for runs that hand them to a device.
  void check_inputs(const Dense& inputs) const;

 private:
  static constexpr size_t kFramesAtOnce = 1;
  ModelRunner(const std::vector<std::shared_ptr<Layer>>& layers, bool segment);
  std::vector<Frame> input_frames(const Dense& inputs, size_t first, size_t count) const;

  // An inbound index that stands for the run's inputs.
  static constexpr size_t kRunInput = SIZE_MAX;
  bool segment_ = false;

  std::vector<EngineLayer*> layers_;
  // Per layer, the indices of its inbound layers.
  std::vector<std::vector<size_t>> inbounds_;
  // Per layer, the last layer index that reads its outputs.
  std::vector<size_t> last_reader_;
};

}  // namespace morla::engine

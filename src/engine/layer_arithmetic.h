#pragma once
// The software arithmetic of every layer type, composed of the reference operations
// (src/ops). One frame is one (x, y, c) tensor, row-major. The composition of each type is
// written once, in layer_arithmetic.cpp, and summarised in the README ("Layer arithmetic").
#include <memory>
#include <vector>

#include "core/tensor.h"

namespace morla::engine {

class EngineLayer;

using Frame = std::shared_ptr<Dense>;

// One layer prepared for a run: weights in the form the operations take and the geometry
// are computed once; temporal layers keep their state (FIFOs) from frame to frame, so
// frames must be given in order. A new runner starts with empty state.
class LayerRunner {
 public:
  virtual ~LayerRunner() = default;
  // One frame per inbound layer (the model's input frame for an input layer).
  virtual Frame run(const std::vector<Frame>& inputs) = 0;
};

// The runner of the layer's type (the type table's runner column), for a built layer.
// Throws std::invalid_argument for a layer whose variables or keys cannot run (for instance
// a Quantizer scale of 0) and std::runtime_error for an arrangement the software path does
// not run (non-global average pooling, an Add of more than two inputs).
std::unique_ptr<LayerRunner> make_layer_runner(EngineLayer& layer);

// One factory per family of layer types, for the type table.
namespace runners {
std::unique_ptr<LayerRunner> pass_through(EngineLayer& layer);
std::unique_ptr<LayerRunner> input_convolutional(EngineLayer& layer);
std::unique_ptr<LayerRunner> fully_connected(EngineLayer& layer);
std::unique_ptr<LayerRunner> convolutional(EngineLayer& layer);
std::unique_ptr<LayerRunner> separable(EngineLayer& layer);
std::unique_ptr<LayerRunner> add(EngineLayer& layer);
std::unique_ptr<LayerRunner> concatenate(EngineLayer& layer);
std::unique_ptr<LayerRunner> conv2d(EngineLayer& layer);
std::unique_ptr<LayerRunner> depthwise_conv2d(EngineLayer& layer);
std::unique_ptr<LayerRunner> input_conv2d(EngineLayer& layer);
std::unique_ptr<LayerRunner> conv2d_transpose(EngineLayer& layer);
std::unique_ptr<LayerRunner> depthwise_conv2d_transpose(EngineLayer& layer);
std::unique_ptr<LayerRunner> dequantizer(EngineLayer& layer);
std::unique_ptr<LayerRunner> buffer_temp_conv(EngineLayer& layer);
std::unique_ptr<LayerRunner> depthwise_buffer_temp_conv(EngineLayer& layer);
std::unique_ptr<LayerRunner> dense1d(EngineLayer& layer);
std::unique_ptr<LayerRunner> stateful_recurrent(EngineLayer& layer);
std::unique_ptr<LayerRunner> quantizer(EngineLayer& layer);
std::unique_ptr<LayerRunner> mote_post_processing(EngineLayer& layer);
}  // namespace runners

// The element type of the layer's outputs as the model returns them: float32 for a
// Dequantizer, int8 or uint8 (by signedness) up to 8 output bits, int32 above.
TensorType output_type(const EngineLayer& layer);

// A copy of `frame` converted to `type` (int32, int8, uint8 or float32), integer values
// saturated to the type's range.
Frame convert_frame(const Dense& frame, TensorType type);

}  // namespace morla::engine

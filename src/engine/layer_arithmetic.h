#pragma once
// The software arithmetic of every layer type, composed of the reference operations
// (src/ops). One frame is one (x, y, c) tensor, row-major. The composition of each type is
// written once, in layer_arithmetic.cpp, and summarised in the README ("Layer arithmetic").
#include <memory>
#include <vector>

#include "engine_api/tensor.h"

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
using RunnerFactory = std::unique_ptr<LayerRunner> (*)(EngineLayer& layer);
namespace runners {
extern const RunnerFactory pass_through, input_convolutional, fully_connected, convolutional,
    separable, add, concatenate, conv2d, depthwise_conv2d, input_conv2d, conv2d_transpose,
    depthwise_conv2d_transpose, dequantizer, buffer_temp_conv, depthwise_buffer_temp_conv, dense1d,
    stateful_recurrent, quantizer, mote_post_processing;
}  // namespace runners

// The element type of the layer's outputs as the model returns them: float32 for a
// Dequantizer, int8 or uint8 (by signedness) up to 8 output bits, int32 above.
TensorType output_type(const EngineLayer& layer);

// A copy of `frame` converted to `type` (int32, int8, uint8 or float32), integer values
// saturated to the type's range.
Frame convert_frame(const Dense& frame, TensorType type);

}  // namespace morla::engine

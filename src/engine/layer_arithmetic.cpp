// The arithmetic of every layer type as a composition of the reference operations.
#include "engine/layer_arithmetic.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/dense_impl.h"
#include "engine/engine_layer.h"
#include "engine/patch_windows.h"
#include "ops/conversion.h"
#include "ops/convolution.h"
#include "ops/elementwise.h"
#include "ops/matmul.h"
#include "ops/neurons.h"
#include "ops/padding.h"
#include "ops/pooling.h"
#include "ops/shift.h"
#include "ops/stateful.h"

namespace morla::engine {

namespace {

using L = Dense::Layout;
// Intermediate sums use the whole 32-bit range; only the operations' own steps clip.
constexpr int32_t kAccBits = 32;
// Bit width of the look-up index: the 2048-entry tables cover [-1024, 1024).
constexpr int32_t kLutIndexBits = 11;

[[noreturn]] void refuse_run(const EngineLayer& layer, const std::string& why) {
  throw std::runtime_error("Cannot run layer '" + layer.name() + "' (" + layer.info().name +
                           "): " + why);
}

[[noreturn]] void refuse_values(const EngineLayer& layer, const std::string& why) {
  throw std::invalid_argument("Cannot run layer '" + layer.name() + "' (" + layer.info().name +
                              "): " + why);
}

std::shared_ptr<Dense> variable(const EngineLayer& layer, const std::string& name) {
  return layer.variables().get(name);
}

// The same bytes as a row-major tensor of `shape` and `type` (same element storage).
Frame reshaped(const Dense& tensor, TensorType type, const Shape& shape) {
  const auto& buffer = tensor.buffer();
  return Dense::copy(static_cast<const char*>(buffer.data()), buffer.size(), type, shape,
                     L::RowMajor);
}

// Row-major dimensions of a tensor: a layout-1 tensor lists them reversed over its bytes.
Shape row_major_shape(const Dense& tensor) {
  const Shape shape = tensor.shape();
  std::vector<uint32_t> dims(shape.begin(), shape.end());
  if (tensor.layout() == L::ColMajor) std::reverse(dims.begin(), dims.end());
  return Shape(dims);
}

// Weights as the operations take them: row-major int8 (sub-byte values are stored one per
// byte already), optionally viewed with other dimensions of the same element count. Weights
// already so are taken as they are: the runners only read them.
Frame int8_weights(const Frame& weights, const Shape& shape) {
  if (weights->type() == TensorType::int8 && weights->layout() == L::RowMajor &&
      weights->shape() == shape)
    return weights;
  return reshaped(*weights, TensorType::int8, shape);
}
Frame int8_weights(const Frame& weights) { return int8_weights(weights, row_major_shape(*weights)); }

Frame int32_of(const Frame& frame) {
  return frame->type() == TensorType::int32 ? frame : ops::to_int32_dense(*frame);
}

// A new row-major tensor whose every element the caller writes.
Frame unfilled(TensorType type, const Shape& shape) {
  return std::make_shared<DenseImpl>(type, shape, L::RowMajor, ByteBuffer::Fill::None);
}

std::vector<int32_t> int32_values(const Dense& tensor) {
  const Frame values = ops::to_int32_dense(tensor);
  const int32_t* data = values->data<int32_t>();
  return std::vector<int32_t>(data, data + values->size());
}

Frame filled_uint8(uint32_t count, uint8_t value) {
  Frame tensor = Dense::create(TensorType::uint8, Shape{count}, L::RowMajor);
  std::fill_n(tensor->mutable_data<uint8_t>(), count, value);
  return tensor;
}

// HRC inputs are 8-bit unsigned; the model checks its own inputs' range.
Frame uint8_of(const Frame& frame) {
  return frame->type() == TensorType::uint8 ? frame : convert_frame(*frame, TensorType::uint8);
}

Frame flattened(const Frame& frame) {
  return reshaped(*frame, frame->type(), Shape{1, 1, static_cast<uint32_t>(frame->size())});
}

// ---- Windows: the convolution and pooling geometry of the windowed layers -----------------

struct Window {
  uint32_t kernel_x = 1, kernel_y = 1;
  ops::PaddingInfo conv{};
  bool pooled = false, global = false, average = false;
  int8_t pool_x = 1, pool_y = 1;
  ops::PaddingInfo pool{};
};

int8_t small_size(const EngineLayer& layer, int value, const char* what) {
  if (value < 1 || value > 127) refuse_run(layer, std::string(what) + " must be in [1, 127].");
  return static_cast<int8_t>(value);
}

Window window_of(const EngineLayer& layer, const Shape& input) {
  const auto* windowed = dynamic_cast<const WindowedLayer*>(&layer);
  const auto record = windowed ? windowed->record() : std::nullopt;
  if (!record) refuse_run(layer, "the layer is not built.");
  const auto mode = static_cast<Padding>(layer.params()->get("padding"));
  Window w;
  w.kernel_x = record->conv.kernel_x;
  w.kernel_y = record->conv.kernel_y;
  w.conv = ops::compute_padding(w.kernel_x, w.kernel_y, static_cast<int32_t>(record->conv.stride_x),
                                static_cast<int32_t>(record->conv.stride_y), mode, input);
  small_size(layer, w.conv.stride_x, "the convolution stride");
  small_size(layer, w.conv.stride_y, "the convolution stride");
  if (!layer.has_pooling()) return w;
  w.pooled = true;
  w.global = record->pool.global;
  w.average = layer.has_pool_type(PoolType::Average);
  if (w.global) return w;
  if (w.average) refuse_run(layer, "average pooling runs only as global pooling.");
  // The build placed the pooling windows (never with a negative pad); its record holds them.
  const LayerParams& p = *layer.params();
  const bool v1 = p.has("pooling_width");
  const auto& pool = record->pool;
  const int8_t stride_x = small_size(layer, static_cast<int>(pool.stride_x), "the pooling stride");
  const int8_t stride_y = small_size(layer, static_cast<int>(pool.stride_y), "the pooling stride");
  // A pool smaller than its stride covers the stride (the rows between two windows join the
  // window before them): a 1x1 pool with a stride of 2 still subsamples.
  w.pool_x = std::max(
      small_size(layer, p.get(v1 ? "pooling_width" : "pool_size"), "the pooling size"), stride_x);
  w.pool_y = std::max(
      small_size(layer, p.get(v1 ? "pooling_height" : "pool_size"), "the pooling size"), stride_y);
  w.pool = {static_cast<int32_t>(pool.padding.left),
            static_cast<int32_t>(pool.padding.right),
            static_cast<int32_t>(pool.padding.top),
            static_cast<int32_t>(pool.padding.bottom),
            pool.out_x,
            pool.out_y,
            stride_x,
            stride_y};
  return w;
}

Frame conv2d(const Window& w, const Frame& input, const Dense& weights) {
  return ops::conv2d(*input, static_cast<int8_t>(w.conv.stride_x),
                     static_cast<int8_t>(w.conv.stride_y), w.conv.pad_x_before, w.conv.pad_y_before,
                     w.conv.out_x, w.conv.out_y, weights, kAccBits);
}

Frame depthwise_conv2d(const Window& w, const Frame& input, const Dense& weights) {
  return ops::depthwise_conv2d(*input, static_cast<int8_t>(w.conv.stride_x),
                               static_cast<int8_t>(w.conv.stride_y), w.conv.pad_x_before,
                               w.conv.pad_y_before, w.conv.out_x, w.conv.out_y, weights);
}

Frame input_conv2d(const Window& w, const Frame& input, const Dense& pad_values,
                   const Dense& flat_weights) {
  return ops::input_conv2d(*input, pad_values, static_cast<int8_t>(w.conv.stride_x),
                           static_cast<int8_t>(w.conv.stride_y), w.conv.pad_y_before,
                           w.conv.pad_y_after, w.conv.pad_x_before, w.conv.pad_x_after,
                           w.conv.out_x, w.conv.out_y, w.kernel_x, w.kernel_y, flat_weights);
}

Frame pooled(const Window& w, const Frame& values) {
  if (!w.pooled) return values;
  if (w.global && w.average) return ops::global_average_pooling(values, kAccBits);
  if (w.global) return ops::max_pooling(values, 0, 0, true, 1, 1, 1, 1, 0, 0, 0, 0, kAccBits);
  return ops::max_pooling(values, w.pool_x, w.pool_y, false, w.pool.out_x, w.pool.out_y,
                          static_cast<int8_t>(w.pool.stride_x),
                          static_cast<int8_t>(w.pool.stride_y), w.pool.pad_y_before,
                          w.pool.pad_y_after, w.pool.pad_x_before, w.pool.pad_x_after, kAccBits);
}

// ---- Neuron stages ------------------------------------------------------------------------

// v1: potentials, then levels above the threshold in steps of act_step, quantised to
// act_bits; without activation the potentials themselves.
class V1Neurons {
 public:
  explicit V1Neurons(const EngineLayer& layer)
      : activation_(layer.has_activation()),
        bits_(static_cast<uint8_t>(layer.params()->get("act_bits"))),
        threshold_(variable(layer, "threshold")),
        steps_(float_to_fixed_q4(*variable(layer, "act_step"))) {}

  Frame operator()(const Frame& potentials) const {
    if (!activation_) return potentials;
    return ops::quantized_activation(*potentials, *threshold_, *steps_, bits_);
  }

 private:
  bool activation_;
  uint8_t bits_;
  Frame threshold_, steps_;
};

// v2 and Mote: bias (shifted left) -> pooling -> ReLU clipped at max_value << max_value_shift
// or a LUT look-up -> scale_out to the output bits. Without pooling the stages run as one
// pass from the sums to the outputs; with it, the bias pass, the pooling, then the others.
// Variables the stages cannot be planned from (a shift refused, a table of another size)
// run the operations one by one, which refuse them as they do alone.
class V2Neurons {
 public:
  explicit V2Neurons(const EngineLayer& layer, Window window = {})
      : window_(window),
        bias_(variable(layer, "bias")),
        bias_shift_(variable(layer, "bias_shift")),
        scales_(variable(layer, "output_scales")),
        shift_(variable(layer, "output_shift")),
        output_bits_(layer.params()->get("output_bits")) {
    if (layer.has_activation_type(ActivationType::ReLU)) {
      relu_max_ = ops::lshift(*ops::to_int32_dense(*variable(layer, "max_value")),
                              *variable(layer, "max_value_shift"), kAccBits);
    } else if (layer.has_activation_type(ActivationType::LUT)) {
      lut_ = variable(layer, "lut_values");
      lut_scales_ = variable(layer, "activation_scales");
      lut_shift_ = variable(layer, "activation_shift");
    }
    try {
      plan();
    } catch (const std::exception&) {
      channels_ = 0;
    }
  }

  Frame operator()(const Frame& sums) const {
    const Shape shape = sums->shape();
    if (channels_ == 0 || sums->type() != TensorType::int32 || shape.back() != channels_)
      return one_by_one(sums);
    if (!window_.pooled) {
      Frame out = unfilled(out_type_, shape);
      ops::run_neurons(*sums, stages_, *out);
      return out;
    }
    Frame biased = unfilled(TensorType::int32, shape);
    ops::run_neurons(*sums, bias_stage_, *biased);
    const Frame values = pooled(window_, biased);
    Frame out = unfilled(out_type_, values->shape());
    ops::run_neurons(*values, after_pool_, *out);
    return out;
  }

 private:
  void plan() {
    const size_t channels = bias_->size();
    ops::plan_bias(bias_stage_, int32_values(*ops::lshift(*ops::to_int32_dense(*bias_),
                                                          *bias_shift_, kAccBits)));
    if (relu_max_) {
      if (relu_max_->size() != channels) return;
      after_pool_.relu_max = int32_values(*relu_max_);
    }
    if (lut_) {
      if (lut_->size() != 2048) return;
      after_pool_.lut = lut_->data<int32_t>();
      after_pool_.lut_index = ops::scale_out_stage("scale_out", *lut_scales_, *lut_shift_, channels,
                                                   kLutIndexBits, kAccBits);
    }
    after_pool_.scaled = true;
    after_pool_.out =
        ops::scale_out_stage("scale_out", *scales_, *shift_, channels, output_bits_, kAccBits);
    out_type_ = ops::scale_out_type(output_bits_);
    stages_ = after_pool_;
    stages_.bias = bias_stage_.bias;
    stages_.bias_below = bias_stage_.bias_below;
    stages_.bias_above = bias_stage_.bias_above;
    channels_ = static_cast<uint32_t>(channels);
  }

  Frame one_by_one(const Frame& sums) const {
    Frame values = pooled(window_, ops::lshift_add(*sums, *bias_, *bias_shift_, kAccBits));
    if (relu_max_) values = ops::relu_activation(*values, *relu_max_);
    if (lut_) {
      const Frame index =
          ops::scale_out(*values, *lut_scales_, *lut_shift_, kLutIndexBits, kAccBits);
      values = ops::look_up(*lut_, *index);
    }
    return ops::scale_out(*values, *scales_, *shift_, output_bits_, kAccBits);
  }

  Window window_;
  Frame bias_, bias_shift_, scales_, shift_;
  int32_t output_bits_;
  Frame relu_max_, lut_, lut_scales_, lut_shift_;
  uint32_t channels_ = 0;  // 0: the stages are not planned
  ops::NeuronStages stages_, bias_stage_, after_pool_;
  TensorType out_type_ = TensorType::int32;
};

// lshift by the per-channel shifts of `shifts` into int32 (x, y, channels) of `shape`,
// straight from the input's own element type; an int32 input that no shift changes is
// taken as it is. The shifts are planned on the first frame and kept for the next ones of
// the same shapes. A Dense1D layer has one shift per input element: when they repeat with
// the input's channels (or are all one value), only that period is planned.
class InputShift {
 public:
  explicit InputShift(Frame shifts) : shifts_(std::move(shifts)) {
    if (shifts_->type() != TensorType::uint8) return;
    const uint8_t* s = shifts_->data<uint8_t>();
    none_ = std::all_of(s, s + shifts_->size(), [](uint8_t v) { return v == 0; });
  }
  Frame operator()(const Frame& input) const { return (*this)(input, input->shape()); }
  Frame operator()(const Frame& input, const Shape& shape) const {
    if (none_ && input->type() == TensorType::int32 && shape == input->shape() &&
        shifts_->size() >= shape.back())
      return input;
    const std::pair<uint32_t, uint32_t> key{shape.back(), input->shape().back()};
    if (planned_for_ != key) {
      planned_for_ = {};
      stage_ = ops::checked_shift_stage("lshift", *shifts_, period(key.first, key.second),
                                        ops::ShiftRule::lshift_saturate, kAccBits);
      planned_for_ = key;
    }
    Frame out = unfilled(TensorType::int32, shape);
    ops::lshift_into(*input, stage_, *out);
    return out;
  }

 private:
  // The shortest of 1, `input_channels` and `channels` with which the first `channels` shifts
  // repeat (only where there are that many: fewer are refused by the full plan).
  size_t period(size_t channels, size_t input_channels) const {
    if (shifts_->type() != TensorType::uint8 || shifts_->size() < channels) return channels;
    const uint8_t* s = shifts_->data<uint8_t>();
    for (const size_t p : {size_t{1}, input_channels})
      if (p < channels && std::memcmp(s, s + p, channels - p) == 0) return p;
    return channels;
  }

  Frame shifts_;
  bool none_ = false;
  // The plan for the (output, input) channels of the frames seen last; {0, 0}: none yet.
  mutable ops::ShiftStage stage_;
  mutable std::pair<uint32_t, uint32_t> planned_for_{};
};

// ---- Runners, one per family of types -------------------------------------------------------

class PassThrough final : public LayerRunner {
 public:
  Frame run(const std::vector<Frame>& inputs) override { return inputs.at(0); }
};

// InputConvolutional (v1 HRC): input_conv2d with the padding value, pooling, v1 neurons.
class InputConvolutionalRunner final : public LayerRunner {
 public:
  explicit InputConvolutionalRunner(EngineLayer& layer)
      : window_(window_of(layer, layer.input_dims())), neurons_(layer) {
    const Shape in = layer.input_dims();
    // The layer builds and maps with any padding, but the windows of some SameUpper
    // geometries miss its outputs: what the run gives there is not defined.
    const auto mode = static_cast<Padding>(layer.params()->get("padding"));
    if (const auto misfit =
            patch_window_misfit(mode, window_.kernel_x, window_.kernel_y, in, window_.conv))
      refuse_run(layer, *misfit +
                            "; no windows are defined for that geometry, so the layer has no "
                            "software run (it still maps on a device).");
    pads_ = filled_uint8(in[2], static_cast<uint8_t>(layer.params()->get("padding_value")));
    // Stored (kernel_y, kernel_x, C, F): reorder to (kernel_x, kernel_y, C, F).
    const Frame stored = variable(layer, "weights");
    const Shape s = stored->shape();
    Frame ordered = Dense::create(TensorType::int8, Shape{s[1], s[0], s[2], s[3]}, L::RowMajor);
    const int8_t* src = stored->data<int8_t>();
    int8_t* dst = ordered->mutable_data<int8_t>();
    const size_t run = size_t{s[2]} * s[3];
    for (uint32_t y = 0; y < s[0]; ++y)
      for (uint32_t x = 0; x < s[1]; ++x)
        std::memcpy(dst + (size_t{x} * s[0] + y) * run, src + (size_t{y} * s[1] + x) * run, run);
    flat_ = ops::flatten_weights(*ordered);
  }
  Frame run(const std::vector<Frame>& inputs) override {
    return neurons_(pooled(window_, input_conv2d(window_, uint8_of(inputs.at(0)), *pads_, *flat_)));
  }

 private:
  Window window_;
  V1Neurons neurons_;
  Frame pads_, flat_;
};

// Convolutional (v1 CNP): conv2d, pooling, v1 neurons.
class ConvolutionalRunner final : public LayerRunner {
 public:
  explicit ConvolutionalRunner(EngineLayer& layer)
      : window_(window_of(layer, layer.input_dims())),
        neurons_(layer),
        weights_(int8_weights(variable(layer, "weights"))) {}
  Frame run(const std::vector<Frame>& inputs) override {
    return neurons_(pooled(window_, conv2d(window_, int32_of(inputs.at(0)), *weights_)));
  }

 private:
  Window window_;
  V1Neurons neurons_;
  Frame weights_;
};

// SeparableConvolutional (v1 CNP): depthwise_conv2d, pointwise matmul, pooling, v1 neurons.
class SeparableRunner final : public LayerRunner {
 public:
  explicit SeparableRunner(EngineLayer& layer)
      : window_(window_of(layer, layer.input_dims())),
        neurons_(layer),
        depthwise_(int8_weights(variable(layer, "weights"))),
        pointwise_(int8_weights(variable(layer, "weights_pw"))) {}
  Frame run(const std::vector<Frame>& inputs) override {
    const Frame depthwise = depthwise_conv2d(window_, int32_of(inputs.at(0)), *depthwise_);
    const Frame pointwise = ops::matmul(*depthwise, *pointwise_, kAccBits, false);
    return neurons_(pooled(window_, pointwise));
  }

 private:
  Window window_;
  V1Neurons neurons_;
  Frame depthwise_, pointwise_;
};

// FullyConnected (v1 FNP): matmul of the flattened input, v1 neurons.
class FullyConnectedRunner final : public LayerRunner {
 public:
  explicit FullyConnectedRunner(EngineLayer& layer)
      : neurons_(layer), weights_(int8_weights(variable(layer, "weights"))) {}
  Frame run(const std::vector<Frame>& inputs) override {
    return neurons_(ops::matmul(*int32_of(flattened(inputs.at(0))), *weights_, kAccBits, false));
  }

 private:
  V1Neurons neurons_;
  Frame weights_;
};

// Conv2D, DepthwiseConv2D: input shift, convolution, v2 neurons (bias, pooling, activation,
// scale_out).
class Conv2DRunner final : public LayerRunner {
 public:
  Conv2DRunner(EngineLayer& layer, bool depthwise)
      : depthwise_(depthwise),
        window_(window_of(layer, layer.input_dims())),
        neurons_(layer, window_),
        input_shift_(variable(layer, "input_shift")) {
    const Frame stored = variable(layer, "weights");
    const Shape s = stored->shape();
    // Depthwise (k, k, 1, C) is taken as (k, k, C).
    weights_ = depthwise ? int8_weights(stored, Shape{s[0], s[1], s[3]}) : int8_weights(stored);
  }
  Frame run(const std::vector<Frame>& inputs) override {
    const Frame shifted = input_shift_(inputs.at(0));
    return neurons_(depthwise_ ? depthwise_conv2d(window_, shifted, *weights_)
                               : conv2d(window_, shifted, *weights_));
  }

 private:
  bool depthwise_;
  Window window_;
  V2Neurons neurons_;
  InputShift input_shift_;
  Frame weights_;
};

// InputConv2D (v2 HRC): input_conv2d with per-channel padding values, v2 neurons.
class InputConv2DRunner final : public LayerRunner {
 public:
  explicit InputConv2DRunner(EngineLayer& layer)
      : window_(window_of(layer, layer.input_dims())),
        neurons_(layer, window_),
        pads_(variable(layer, "padding_value")),
        flat_(ops::flatten_weights(*int8_weights(variable(layer, "weights")))) {}
  Frame run(const std::vector<Frame>& inputs) override {
    return neurons_(input_conv2d(window_, uint8_of(inputs.at(0)), *pads_, *flat_));
  }

 private:
  Window window_;
  V2Neurons neurons_;
  Frame pads_, flat_;
};

// Conv2DTranspose, DepthwiseConv2DTranspose: input shift, transposed convolution (geometry
// of ops::transpose_output_size and ops::transpose_padding), v2 neurons.
class TransposeRunner final : public LayerRunner {
 public:
  TransposeRunner(EngineLayer& layer, bool depthwise)
      : depthwise_(depthwise),
        neurons_(layer),
        input_shift_(variable(layer, "input_shift")),
        output_(layer.output_dims()) {
    const Frame stored = variable(layer, "weights");
    const Shape s = stored->shape();
    weights_ = depthwise ? int8_weights(stored, Shape{s[0], s[1], s[3]}) : int8_weights(stored);
    stride_ = static_cast<uint8_t>(layer.params()->get("kernel_stride"));
    pad_x_ = ops::transpose_padding(s[0], stride_);
    pad_y_ = ops::transpose_padding(s[1], stride_);
  }
  Frame run(const std::vector<Frame>& inputs) override {
    const Frame shifted = input_shift_(inputs.at(0));
    const auto op = depthwise_ ? ops::depthwise_conv2d_transpose : ops::conv2d_transpose;
    return neurons_(op(*shifted, *weights_, stride_, pad_x_, pad_y_, output_[0], output_[1]));
  }

 private:
  bool depthwise_;
  V2Neurons neurons_;
  InputShift input_shift_;
  Frame weights_;
  Shape output_;
  uint8_t stride_ = 1;
  int32_t pad_x_ = 0, pad_y_ = 0;
};

// Dense1D (v2 FNP): input shift per input element, matmul, v2 neurons.
class Dense1DRunner final : public LayerRunner {
 public:
  explicit Dense1DRunner(EngineLayer& layer)
      : neurons_(layer),
        input_shift_(variable(layer, "input_shift")),
        weights_(int8_weights(variable(layer, "weights"))) {}
  Frame run(const std::vector<Frame>& inputs) override {
    const auto size = static_cast<uint32_t>(inputs.at(0)->size());
    const Frame shifted = input_shift_(inputs.at(0), Shape{1, 1, size});
    return neurons_(ops::matmul(*shifted, *weights_, kAccBits, false));
  }

 private:
  V2Neurons neurons_;
  InputShift input_shift_;
  Frame weights_;
};

// BufferTempConv, DepthwiseBufferTempConv: each frame enters a FIFO of fifo_size entries
// per position (oldest first); the shifted FIFO goes through matmul against (fifo_size x C,
// F) weights, or depth_conv_like_op per channel; then v2 neurons.
class BufferTempConvRunner final : public LayerRunner {
 public:
  BufferTempConvRunner(EngineLayer& layer, bool depthwise)
      : layer_(layer),
        depthwise_(depthwise),
        neurons_(layer),
        input_shift_(variable(layer, "input_shift")) {
    const Shape in = layer.input_dims();
    const auto depth = static_cast<uint32_t>(layer.params()->get("fifo_size"));
    const uint32_t input_bits = static_cast<uint8_t>(layer.input_bits());
    if (input_bits == 0 || input_bits > 8)
      refuse_run(layer,
                 "its inputs must have at most 8 bits, got " + std::to_string(input_bits) + ".");
    const bool is_signed = layer.inbounds().front()->output_signed();
    fifo_type_ = is_signed ? TensorType::int8 : TensorType::uint8;
    fifo_ = Dense::create(fifo_type_, Shape{in[0], in[1], depth, in[2]}, L::RowMajor);
    const Frame stored = variable(layer, "weights");
    const Shape s = stored->shape();
    weights_ = depthwise ? int8_weights(stored) : int8_weights(stored, Shape{s[2], s[3]});
    flat_shape_ = Shape{in[0], in[1], depth * in[2]};
  }
  Frame run(const std::vector<Frame>& inputs) override {
    const Frame frame = int32_of(inputs.at(0));
    const int32_t* values = frame->data<int32_t>();
    const int32_t low = fifo_type_ == TensorType::int8 ? -128 : 0;
    const int32_t high = fifo_type_ == TensorType::int8 ? 127 : 255;
    for (size_t i = 0, n = frame->size(); i < n; ++i)
      if (values[i] < low || values[i] > high)
        refuse_values(layer_,
                      "input value " + std::to_string(values[i]) + " does not fit its 8-bit FIFO.");
    ops::fifo_op(*fifo_, *convert_frame(*frame, fifo_type_));
    const Frame shifted = input_shift_(fifo_);
    if (depthwise_) return neurons_(ops::depth_conv_like_op(*shifted, *weights_, kAccBits));
    const Frame flat = reshaped(*shifted, TensorType::int32, flat_shape_);
    return neurons_(ops::matmul(*flat, *weights_, kAccBits, false));
  }

 private:
  const EngineLayer& layer_;
  bool depthwise_;
  V2Neurons neurons_;
  InputShift input_shift_;
  Frame weights_, fifo_;
  TensorType fifo_type_ = TensorType::uint8;
  Shape flat_shape_;
};

// StatefulRecurrent (Mote TNP-R), per row of its (x, timesteps, C) input: input shift ->
// in-projection matmul -> stateful_main_op from a zero state (internal_state_outputs_shift)
// -> subsampling (a last partial window keeps its last step) -> scale_out to 8 bits with
// new_state_scale/new_state_shift -> out-projection matmul -> v2 neurons.
class StatefulRecurrentRunner final : public LayerRunner {
 public:
  explicit StatefulRecurrentRunner(EngineLayer& layer)
      : neurons_(layer),
        input_shift_(variable(layer, "input_shift")),
        in_proj_(int8_weights(variable(layer, "in_proj"))),
        out_proj_(int8_weights(variable(layer, "out_proj"))),
        a_real_(variable(layer, "A_real")),
        a_imag_(variable(layer, "A_imag")),
        state_shift_(variable(layer, "internal_state_outputs_shift")),
        new_state_scale_(variable(layer, "new_state_scale")),
        new_state_shift_(variable(layer, "new_state_shift")),
        subsample_(static_cast<uint8_t>(layer.params()->get("subsample"))) {
    const uint32_t states = a_real_->shape()[0];
    zero_state_ = Dense::create(TensorType::int32, Shape{states}, L::RowMajor);
  }
  Frame run(const std::vector<Frame>& inputs) override {
    const Frame input = int32_of(inputs.at(0));
    const Shape shape = input->shape();
    const size_t row_bytes = size_t{shape[1]} * shape[2] * sizeof(int32_t);
    std::vector<Frame> rows;
    for (uint32_t r = 0; r < shape[0]; ++r) {
      const Frame row =
          Dense::copy(static_cast<const char*>(input->buffer().data()) + r * row_bytes, row_bytes,
                      TensorType::int32, Shape{1, shape[1], shape[2]}, L::RowMajor);
      rows.push_back(run_row(row));
    }
    return stacked(rows);
  }

 private:
  Frame run_row(const Frame& row) const {
    const Frame projected = ops::matmul(*input_shift_(row), *in_proj_, kAccBits, true);
    const auto states = ops::stateful_main_op(*projected, *state_shift_, *zero_state_, *zero_state_,
                                              *a_real_, *a_imag_, kAccBits, kAccBits);
    const Frame kept = subsampled(states.first);
    const Frame scaled = ops::scale_out(*kept, *new_state_scale_, *new_state_shift_, 8, kAccBits);
    return neurons_(ops::matmul(*int32_of(scaled), *out_proj_, kAccBits, true));
  }

  Frame subsampled(const Frame& sequence) const {
    const Shape shape = sequence->shape();
    const uint32_t steps = shape[1], channels = shape[2];
    const uint32_t whole = steps / subsample_, kept = (steps + subsample_ - 1) / subsample_;
    Frame out = Dense::create(TensorType::int32, Shape{1, kept, channels}, L::RowMajor);
    int32_t* dst = out->mutable_data<int32_t>();
    if (whole > 0) {
      const Frame windows = ops::subsampling_op(*sequence, subsample_);
      std::memcpy(dst, windows->data<int32_t>(), size_t{whole} * channels * sizeof(int32_t));
    }
    if (kept > whole)  // the last step of the partial window
      std::memcpy(dst + size_t{whole} * channels,
                  sequence->data<int32_t>() + size_t{steps - 1} * channels,
                  channels * sizeof(int32_t));
    return out;
  }

  // Rows (1, t, o) of one element type joined into (rows, t, o).
  static Frame stacked(const std::vector<Frame>& rows) {
    const Shape row = rows.front()->shape();
    Frame out =
        Dense::create(rows.front()->type(),
                      Shape{static_cast<uint32_t>(rows.size()), row[1], row[2]}, L::RowMajor);
    const size_t bytes = rows.front()->buffer().size();
    auto* dst = static_cast<char*>(out->buffer().mutable_data());
    for (size_t r = 0; r < rows.size(); ++r)
      std::memcpy(dst + r * bytes, rows[r]->buffer().data(), bytes);
    return out;
  }

  V2Neurons neurons_;
  InputShift input_shift_;
  Frame in_proj_, out_proj_, a_real_, a_imag_, state_shift_, new_state_scale_, new_state_shift_,
      zero_state_;
  uint8_t subsample_;
};

// MotePostProcessing: q = scale_out of the (x, timesteps, C) input to 16 bits with
// input_scales/input_shift; p = q one time step later in the past (p[0] = q[0]); the mean
// absolute difference over time per channel, compared with the threshold (1 output bit)
// or returned raw (more output bits).
class MotePostProcessingRunner final : public LayerRunner {
 public:
  explicit MotePostProcessingRunner(EngineLayer& layer)
      : scales_(variable(layer, "input_scales")),
        shift_(variable(layer, "input_shift")),
        raw_(layer.params()->get("output_bits") > 1) {
    const uint32_t channels = scales_->shape()[0];
    thresholds_ = Dense::create(TensorType::uint16, Shape{channels}, L::RowMajor);
    std::fill_n(thresholds_->mutable_data<uint16_t>(), channels,
                variable(layer, "threshold")->data<uint16_t>()[0]);
  }
  Frame run(const std::vector<Frame>& inputs) override {
    const Frame q = ops::scale_out(*int32_of(inputs.at(0)), *scales_, *shift_, 16, kAccBits);
    const Shape shape = q->shape();
    Frame p = Dense::create(TensorType::int16, shape, L::RowMajor);
    const int16_t* src = q->data<int16_t>();
    int16_t* dst = p->mutable_data<int16_t>();
    const size_t step = shape[2], row = size_t{shape[1]} * step;
    for (uint32_t r = 0; r < shape[0]; ++r) {
      std::memcpy(dst + r * row, src + r * row, step * sizeof(int16_t));
      std::memcpy(dst + r * row + step, src + r * row, (row - step) * sizeof(int16_t));
    }
    return ops::motepostprocessing_op(*p, *q, *thresholds_, kAccBits, raw_);
  }

 private:
  Frame scales_, shift_, thresholds_;
  bool raw_;
};

// Add: shifted_add of its two inputs (a_shift, b_shift, output_shift) to the output bits.
class AddRunner final : public LayerRunner {
 public:
  explicit AddRunner(EngineLayer& layer)
      : a_shift_(variable(layer, "a_shift")),
        b_shift_(variable(layer, "b_shift")),
        out_shift_(variable(layer, "output_shift")),
        output_bits_(layer.params()->get("output_bits")) {
    if (layer.inbounds().size() != 2) refuse_run(layer, "it runs with exactly two inputs.");
  }
  Frame run(const std::vector<Frame>& inputs) override {
    return ops::shifted_add(*inputs.at(0), *inputs.at(1), *a_shift_, *b_shift_, *out_shift_,
                            output_bits_, kAccBits);
  }

 private:
  Frame a_shift_, b_shift_, out_shift_;
  int32_t output_bits_;
};

class ConcatenateRunner final : public LayerRunner {
 public:
  Frame run(const std::vector<Frame>& inputs) override {
    // Inputs of one 8-bit storage type are joined as they are, others as int32.
    const StorageType storage = storage_type(inputs.at(0)->type());
    const bool narrow = (storage == StorageType::int8 || storage == StorageType::uint8) &&
                        std::all_of(inputs.begin(), inputs.end(), [&](const Frame& input) {
                          return storage_type(input->type()) == storage;
                        });
    if (narrow) return ops::concatenate(inputs);
    std::vector<Frame> parts;
    for (const auto& input : inputs) parts.push_back(int32_of(input));
    return ops::concatenate(parts);
  }
};

class DequantizerRunner final : public LayerRunner {
 public:
  explicit DequantizerRunner(EngineLayer& layer) : scales_(variable(layer, "scales")) {}
  Frame run(const std::vector<Frame>& inputs) override {
    return ops::dequantize(*int32_of(inputs.at(0)), *scales_);
  }

 private:
  Frame scales_;
};

// Quantizer: round(x / scales[c]) + zero_points[c] (halves away from zero), clipped to the
// signed or unsigned range of the output bits. No reference operation covers it.
class QuantizerRunner final : public LayerRunner {
 public:
  explicit QuantizerRunner(EngineLayer& layer)
      : layer_(layer),
        scales_(variable(layer, "scales")),
        zero_points_(variable(layer, "zero_points")) {
    const int bits = layer.params()->get("output_bits");
    const bool is_signed = layer.params()->get("output_signed") != 0;
    high_ = is_signed ? std::ldexp(1.0, bits - 1) - 1 : std::ldexp(1.0, bits) - 1;
    low_ = is_signed ? -std::ldexp(1.0, bits - 1) : 0;
    high_ = std::min(high_, 2147483647.0);
    const float* scales = scales_->data<float>();
    for (size_t c = 0; c < scales_->size(); ++c)
      if (!std::isfinite(scales[c]) || scales[c] == 0.0f)
        refuse_values(layer, "the scale of channel " + std::to_string(c) +
                                 " must be finite and non-zero, got " + std::to_string(scales[c]) +
                                 ".");
  }
  Frame run(const std::vector<Frame>& inputs) override {
    const Frame input = inputs.at(0);
    const Frame real =
        input->type() == TensorType::float32 ? input : convert_frame(*input, TensorType::float32);
    const float* in = real->data<float>();
    const float* scales = scales_->data<float>();
    const int32_t* zero = zero_points_->data<int32_t>();
    const size_t channels = scales_->size();
    Frame out = Dense::create(TensorType::int32, real->shape(), L::RowMajor);
    int32_t* dst = out->mutable_data<int32_t>();
    for (size_t i = 0, n = real->size(); i < n; ++i) {
      if (std::isnan(in[i])) refuse_values(layer_, "an input value is NaN.");
      const double q = std::round(double{in[i]} / scales[i % channels]) + zero[i % channels];
      dst[i] = static_cast<int32_t>(std::clamp(q, low_, high_));
    }
    return out;
  }

 private:
  const EngineLayer& layer_;
  Frame scales_, zero_points_;
  double low_ = 0, high_ = 0;
};

template <typename To, typename From>
void saturate_copy(const From* in, size_t n, To* out) {
  for (size_t i = 0; i < n; ++i) {
    if constexpr (std::is_floating_point_v<To>) {
      out[i] = static_cast<To>(in[i]);
    } else {
      const int64_t v = static_cast<int64_t>(in[i]);
      out[i] = static_cast<To>(
          std::clamp<int64_t>(v, std::numeric_limits<To>::min(), std::numeric_limits<To>::max()));
    }
  }
}

template <typename To>
void convert_into(const Dense& frame, To* out) {
  const size_t n = frame.size();
  switch (storage_type(frame.type())) {
    case StorageType::int8: return saturate_copy(frame.data<int8_t>(), n, out);
    case StorageType::uint8: return saturate_copy(frame.data<uint8_t>(), n, out);
    case StorageType::int16: return saturate_copy(frame.data<int16_t>(), n, out);
    case StorageType::uint16: return saturate_copy(frame.data<uint16_t>(), n, out);
    case StorageType::int32: return saturate_copy(frame.data<int32_t>(), n, out);
    default: throw std::runtime_error("Cannot convert a float32 tensor to integers.");
  }
}

}  // namespace

Frame convert_frame(const Dense& frame, TensorType type) {
  if (frame.type() == type) return reshaped(frame, type, frame.shape());
  Frame out = Dense::create(type, frame.shape(), L::RowMajor);
  switch (type) {
    case TensorType::int32: convert_into(frame, out->mutable_data<int32_t>()); break;
    case TensorType::int8: convert_into(frame, out->mutable_data<int8_t>()); break;
    case TensorType::uint8: convert_into(frame, out->mutable_data<uint8_t>()); break;
    case TensorType::float32: convert_into(frame, out->mutable_data<float>()); break;
    default: throw std::invalid_argument("Unsupported frame type.");
  }
  return out;
}

TensorType output_type(const EngineLayer& layer) {
  if (layer.info().type == LayerType::Dequantizer) return TensorType::float32;
  const uint32_t bits = static_cast<uint8_t>(layer.output_bits());
  if (bits == 0 || bits > 8) return TensorType::int32;
  return layer.output_signed() ? TensorType::int8 : TensorType::uint8;
}

std::unique_ptr<LayerRunner> make_layer_runner(EngineLayer& layer) {
  if (!layer.built()) refuse_run(layer, "the layer is not built.");
  if (!layer.info().runner) refuse_run(layer, "no software arithmetic for this type.");
  return layer.info().runner(layer);
}

namespace {

// A runner of type Runner, made with the layer and the type's fixed options (runners of
// no per-layer state take nothing).
template <typename Runner, auto... options>
std::unique_ptr<LayerRunner> make_runner(EngineLayer& layer) {
  if constexpr (std::is_constructible_v<Runner, EngineLayer&, decltype(options)...>)
    return std::make_unique<Runner>(layer, options...);
  else
    return std::make_unique<Runner>();
}

}  // namespace

namespace runners {

const RunnerFactory pass_through = make_runner<PassThrough>;
const RunnerFactory input_convolutional = make_runner<InputConvolutionalRunner>;
const RunnerFactory fully_connected = make_runner<FullyConnectedRunner>;
const RunnerFactory convolutional = make_runner<ConvolutionalRunner>;
const RunnerFactory separable = make_runner<SeparableRunner>;
const RunnerFactory add = make_runner<AddRunner>;
const RunnerFactory concatenate = make_runner<ConcatenateRunner>;
const RunnerFactory conv2d = make_runner<Conv2DRunner, false>;
const RunnerFactory depthwise_conv2d = make_runner<Conv2DRunner, true>;
const RunnerFactory input_conv2d = make_runner<InputConv2DRunner>;
const RunnerFactory conv2d_transpose = make_runner<TransposeRunner, false>;
const RunnerFactory depthwise_conv2d_transpose = make_runner<TransposeRunner, true>;
const RunnerFactory dequantizer = make_runner<DequantizerRunner>;
const RunnerFactory buffer_temp_conv = make_runner<BufferTempConvRunner, false>;
const RunnerFactory depthwise_buffer_temp_conv = make_runner<BufferTempConvRunner, true>;
const RunnerFactory dense1d = make_runner<Dense1DRunner>;
const RunnerFactory stateful_recurrent = make_runner<StatefulRecurrentRunner>;
const RunnerFactory quantizer = make_runner<QuantizerRunner>;
const RunnerFactory mote_post_processing = make_runner<MotePostProcessingRunner>;

}  // namespace runners

}  // namespace morla::engine

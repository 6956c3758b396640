#include "engine/model_runner.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/engine_layer.h"

namespace morla::engine {

namespace {

std::string shape_text(const Shape& shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
  return text + ")";
}

struct ValueRange {
  int64_t low, high;
};

// The values the first layer takes: the InputData's bits and signedness, 8-bit unsigned for
// the input convolutions.
ValueRange input_range(const EngineLayer& first) {
  if (first.info().type != LayerType::InputData) return {0, 255};
  const int bits = first.params()->get("input_bits");
  if (first.params()->get("input_signed") != 0)
    return {-(int64_t{1} << (bits - 1)), (int64_t{1} << (bits - 1)) - 1};
  return {0, (int64_t{1} << bits) - 1};
}

template <typename T>
void check_range(const Dense& inputs, ValueRange range) {
  const T* values = inputs.data<T>();
  for (size_t i = 0, n = inputs.size(); i < n; ++i)
    if (values[i] < range.low || values[i] > range.high)
      throw std::invalid_argument("Input value " + std::to_string(values[i]) +
                                  " is outside the range [" + std::to_string(range.low) + ", " +
                                  std::to_string(range.high) + "] of the model's inputs.");
}

}  // namespace

ModelRunner::ModelRunner(const std::vector<std::shared_ptr<Layer>>& layers)
    : ModelRunner(layers, false) {}

ModelRunner ModelRunner::segment(const std::vector<std::shared_ptr<Layer>>& layers) {
  return ModelRunner(layers, true);
}

ModelRunner::ModelRunner(const std::vector<std::shared_ptr<Layer>>& layers, bool segment)
    : segment_(segment) {
  if (layers.empty()) throw std::invalid_argument("Cannot run a model without layers.");
  for (size_t i = 0; i < layers.size(); ++i) {
    auto* layer = dynamic_cast<EngineLayer*>(layers[i].get());
    if (!layer) throw std::invalid_argument("The layer was not created by this engine.");
    layers_.push_back(layer);
    std::vector<size_t> sources;
    for (const auto& inbound : layer->inbounds()) {
      const auto found =
          std::find(layers.begin(), layers.begin() + static_cast<ptrdiff_t>(i), inbound);
      if (found != layers.begin() + static_cast<ptrdiff_t>(i)) {
        sources.push_back(static_cast<size_t>(found - layers.begin()));
      } else if (segment && std::find(layers.begin(), layers.end(), inbound) == layers.end()) {
        sources.push_back(kRunInput);
      } else {
        throw std::runtime_error("Layer '" + layer->name() +
                                 "' reads a layer that does not precede it.");
      }
    }
    if (i == 0 && sources.empty()) sources.push_back(kRunInput);
    if (i > 0 && sources.empty())
      throw std::runtime_error("Layer '" + layer->name() +
                               "' has no inbound layer: a model runs from one input layer.");
    inbounds_.push_back(std::move(sources));
  }
  last_reader_.assign(layers_.size(), 0);
  for (size_t i = 0; i < layers_.size(); ++i)
    for (size_t source : inbounds_[i])
      if (source != kRunInput) last_reader_[source] = i;
  last_reader_.back() = layers_.size();
}

std::vector<Frame> ModelRunner::input_frames(const Dense& inputs, size_t first,
                                             size_t count) const {
  const size_t bytes = inputs.buffer().size() / inputs.shape()[0];
  const Shape shape = inputs.shape();
  const Shape frame_shape{shape[1], shape[2], shape[3]};
  const auto* data = static_cast<const char*>(inputs.buffer().data());
  const bool quantizer = layers_.front()->info().type == LayerType::Quantizer;
  // An input convolution reads 8-bit unsigned pixels; inside a model the other layers read
  // what the layers before them produced.
  const bool hrc = segment_ ? layers_.front()->is_target_component(ComponentKind::HRC)
                            : layers_.front()->info().type != LayerType::InputData && !quantizer;
  std::vector<Frame> frames;
  for (size_t i = first; i < first + count; ++i) {
    Frame frame =
        Dense::copy(data + i * bytes, bytes, inputs.type(), frame_shape, Dense::Layout::RowMajor);
    if (quantizer)
      frame = convert_frame(*frame, TensorType::float32);
    else if (hrc)
      frame = convert_frame(*frame, TensorType::uint8);
    frames.push_back(std::move(frame));
  }
  return frames;
}

void ModelRunner::check_inputs(const Dense& inputs) const {
  const EngineLayer& first = *layers_.front();
  const Shape expected = first.input_dims();
  const Shape shape = inputs.shape();
  if (shape.size() != 4 || Shape{shape[1], shape[2], shape[3]} != expected)
    throw std::invalid_argument("Inputs of shape " + shape_text(shape) +
                                " do not match the model's input shape " + shape_text(expected) +
                                ": expected (n, x, y, c).");
  if (!segment_ && first.info().type != LayerType::Quantizer) {
    const ValueRange range = input_range(first);
    switch (inputs.type()) {
      case TensorType::uint8:
        if (range.low > 0 || range.high < 255) check_range<uint8_t>(inputs, range);
        break;
      case TensorType::int8: check_range<int8_t>(inputs, range); break;
      case TensorType::int16: check_range<int16_t>(inputs, range); break;
      default:
        throw std::invalid_argument(std::string("A model whose first layer is ") +
                                    first.info().name +
                                    " takes integer inputs (uint8, int8 or int16).");
    }
  }
}

std::shared_ptr<Dense> ModelRunner::run(const Dense& inputs, uint32_t batch_size,
                                        const LastLayerHook& hook) {
  check_inputs(inputs);
  const Shape shape = inputs.shape();

  std::vector<std::unique_ptr<LayerRunner>> runners;
  for (EngineLayer* layer : layers_) runners.push_back(make_layer_runner(*layer));

  const EngineLayer& last = *layers_.back();
  const Shape out_dims = last.output_dims();
  const TensorType out_type = output_type(last);
  const uint32_t n = shape[0];
  std::vector<uint32_t> result_dims{n};
  result_dims.insert(result_dims.end(), out_dims.begin(), out_dims.end());
  std::shared_ptr<Dense> result =
      Dense::create(out_type, Shape(result_dims), Dense::Layout::RowMajor);
  const size_t frame_bytes = result->buffer().size() / n;
  auto* out = static_cast<char*>(result->buffer().mutable_data());

  // In software a batch changes nothing but memory: frames run through every layer one at
  // a time, so only one frame's intermediate outputs are held however many frames come in
  // (results are the same, learning included: it changes only the last layer, in frame
  // order either way).
  const size_t batch = std::min<size_t>(batch_size == 0 ? n : batch_size, kFramesAtOnce);
  for (size_t start = 0; start < n; start += batch) {
    const size_t count = std::min<size_t>(batch, n - start);
    const std::vector<Frame> frames = input_frames(inputs, start, count);
    std::vector<std::vector<Frame>> values(layers_.size());
    for (size_t l = 0; l < layers_.size(); ++l) {
      const bool last_layer = l + 1 == layers_.size();
      for (size_t f = 0; f < count; ++f) {
        std::vector<Frame> in;
        for (size_t source : inbounds_[l])
          in.push_back(source == kRunInput ? frames[f] : values[source][f]);
        values[l].push_back(runners[l]->run(in));
        if (last_layer && hook && hook(start + f, in)) runners[l] = make_layer_runner(*layers_[l]);
      }
      // Outputs nobody reads any more are released.
      for (size_t source : inbounds_[l])
        if (source != kRunInput && last_reader_[source] == l) values[source].clear();
    }
    for (size_t f = 0; f < count; ++f) {
      const Frame& frame = values.back()[f];
      if (frame->shape() != out_dims)
        throw std::runtime_error("Layer '" + last.name() + "' produced a frame of shape " +
                                 shape_text(frame->shape()) + " instead of " +
                                 shape_text(out_dims) + ".");
      const Frame converted = convert_frame(*frame, out_type);
      std::memcpy(out + (start + f) * frame_bytes, converted->buffer().data(), frame_bytes);
    }
  }
  return result;
}

}  // namespace morla::engine

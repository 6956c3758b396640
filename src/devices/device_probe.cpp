#include "devices/device_probe.h"

#include <exception>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables.h"
#include "core/platform.h"

namespace morla {

std::shared_ptr<Model> build_probe_model() {
  std::shared_ptr<Model> model = Model::create();
  const std::map<std::string, int> entries{
      {"input_width", 8},      {"input_height", 8},    {"input_channels", 1}, {"kernel_width", 3},
      {"kernel_height", 3},    {"padding", 1},         {"stride_x", 2},       {"stride_y", 2},
      {"filters", 1},          {"weights_bits", 1},    {"padding_value", 0},  {"activation", 1},
      {"act_bits", 1},         {"pooling_width", 2},   {"pooling_height", 2}, {"pool_type", 1},
      {"pooling_stride_x", 2}, {"pooling_stride_y", 2}};
  const std::shared_ptr<LayerParams> params =
      LayerParams::create(LayerType::InputConvolutional, entries);
  std::shared_ptr<Layer> layer = Layer::create(params.get(), "inputconv");
  model->add(layer, {});
  const std::vector<char> ones(9, 1);
  std::shared_ptr<Dense> weights = Dense::copy(ones.data(), ones.size(), TensorType::int8,
                                               Shape{3, 3, 1, 1}, Dense::Layout::RowMajor);
  layer->variables().set("weights", std::move(weights));
  return model;
}

namespace {

// A batch of one input of ones, shaped like the model's input.
std::shared_ptr<Dense> probe_input(const Model& model) {
  const Shape in = model.input_shape();
  const Shape shape{1, in[0], in[1], in[2]};
  uint64_t bytes = 1;
  for (uint32_t d : shape)
    if (__builtin_mul_overflow(bytes, uint64_t{d}, &bytes)) bytes = ~uint64_t{0};
  constexpr uint64_t kMaxSize = std::numeric_limits<uint32_t>::max();
  if (bytes > kMaxSize)
    panic("Tensor shape size %llu exceeds maximum shape size (%zu)",
          static_cast<unsigned long long>(bytes), static_cast<size_t>(kMaxSize));
  const std::vector<char> ones(bytes, 1);
  return Dense::copy(ones.data(), ones.size(), TensorType::uint8, shape, Dense::Layout::RowMajor);
}

}  // namespace

bool probe_device(const std::shared_ptr<Device>& device) {
  const std::shared_ptr<Model> model = build_probe_model();
  model->map(device, true, nullptr);
  std::shared_ptr<Dense> input = probe_input(*model);
  try {
    model->forward(std::move(input), 0);
  } catch (const std::exception&) {
    return true;
  }
  return false;
}

}  // namespace morla

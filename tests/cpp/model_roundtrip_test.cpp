// Every model that serializes loads back to the same bytes: each layer type, over channel
// counts and weight widths, behind an InputData layer, with its variables filled.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables.h"
#include "engine/layer_types.h"

namespace morla {
namespace {

constexpr LayerType kTypes[] = {LayerType::InputData,
                                LayerType::InputConvolutional,
                                LayerType::FullyConnected,
                                LayerType::Convolutional,
                                LayerType::SeparableConvolutional,
                                LayerType::Add,
                                LayerType::Concatenate,
                                LayerType::Conv2D,
                                LayerType::InputConv2D,
                                LayerType::DepthwiseConv2D,
                                LayerType::Conv2DTranspose,
                                LayerType::Dequantizer,
                                LayerType::DepthwiseConv2DTranspose,
                                LayerType::BufferTempConv,
                                LayerType::DepthwiseBufferTempConv,
                                LayerType::Dense1D,
                                LayerType::StatefulRecurrent,
                                LayerType::Quantizer,
                                LayerType::MotePostProcessing};

struct RoundTripCase {
  LayerType type;
  uint32_t channels;
  int weights_bits;
};

// A value for every required key; the weight width where the type has one.
std::map<std::string, int> entries_for(const engine::LayerTypeInfo& info, const RoundTripCase& c) {
  const int channels = static_cast<int>(c.channels);
  const std::map<std::string, int> sizes = {{"input_width", 6},
                                            {"input_height", 5},
                                            {"input_channels", channels},
                                            {"kernel_width", 3},
                                            {"kernel_height", 2},
                                            {"kernel_size", 3},
                                            {"filters", channels + 1},
                                            {"units", channels + 2},
                                            {"fifo_size", 4},
                                            {"stateful_channels", channels},
                                            {"output_channels", channels + 1}};
  std::map<std::string, int> entries;
  for (const auto& key : info.keys) {
    if (std::string(key.name) == "weights_bits")
      entries[key.name] = c.weights_bits;
    else if (!key.default_value)
      entries[key.name] = sizes.at(key.name);
  }
  return entries;
}

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int>& entries,
                            const std::string& name) {
  const auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

// Weights get small random values every weight width takes; everything else random bytes
// (act_step, whose values have a floor, keeps its own).
void fill_variables(Layer& layer, std::mt19937& random) {
  Variables& variables = layer.variables();
  for (const auto& name : variables.names()) {
    if (name == "act_step") continue;
    const auto value = variables.get(name);
    auto copy = Dense::copy(static_cast<const char*>(value->buffer().data()),
                            value->buffer().size(), value->type(), value->shape(), value->layout());
    auto* bytes = static_cast<uint8_t*>(copy->buffer().mutable_data());
    const bool weights = name == "weights" || name == "weights_pw";
    for (size_t i = 0; i < copy->buffer().size(); ++i)
      bytes[i] = static_cast<uint8_t>(weights ? random() % 2 : random());
    if (value->type() == TensorType::float32)  // finite values only
      for (size_t i = 3; i < copy->buffer().size(); i += 4) bytes[i] &= 0x3F;
    variables.set(name, std::move(copy));
  }
}

class ModelRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(ModelRoundTrip, LoadsBackToTheSameBytes) {
  const RoundTripCase& c = GetParam();
  const auto& info = engine::layer_type_info(c.type);
  const auto input = make(
      LayerType::InputData,
      {{"input_width", 6}, {"input_height", 5}, {"input_channels", static_cast<int>(c.channels)}},
      "input");
  auto model = Model::create();
  std::vector<std::shared_ptr<Layer>> inbounds;
  if (!info.own_input_shape) {
    model->add(input, {});
    inbounds.push_back(input);
    if (c.type == LayerType::Add || c.type == LayerType::Concatenate) {
      const auto second = make(LayerType::InputData,
                               {{"input_width", 6},
                                {"input_height", 5},
                                {"input_channels", static_cast<int>(c.channels)}},
                               "second");
      model->add(second, {});
      inbounds.push_back(second);
    }
  }
  const auto layer = make(c.type, entries_for(info, c), "layer");
  model->add(layer, inbounds);
  std::mt19937 random(static_cast<uint32_t>(c.channels * 131 + c.weights_bits));
  for (const auto& each : model->layers()) fill_variables(*each, random);

  const auto bytes = model->serialize().to_vector();
  const auto loaded = Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  EXPECT_EQ(loaded->serialize().to_vector(), bytes);
}

std::vector<RoundTripCase> all_cases() {
  std::vector<RoundTripCase> cases;
  for (const LayerType type : kTypes)
    for (const uint32_t channels : {1u, 2u, 3u, 4u, 7u})
      for (const int bits : {1, 2, 4, 8}) {
        const auto& keys = engine::layer_type_info(type).keys;
        const bool has_width = std::any_of(keys.begin(), keys.end(), [](const auto& k) {
          return std::string(k.name) == "weights_bits";
        });
        if (!has_width && bits != 8) continue;  // one case for types without a weight width
        cases.push_back({type, channels, bits});
      }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryLayerType, ModelRoundTrip, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<RoundTripCase>& p) {
                           return std::string(engine::layer_type_info(p.param.type).name) + "_c" +
                                  std::to_string(p.param.channels) + "_w" +
                                  std::to_string(p.param.weights_bits);
                         });

}  // namespace
}  // namespace morla

// Every layer type built from its parameters and added to a model after its producers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "engine_api/model.h"
#include "engine_api/variables.h"

namespace morla {
namespace {

using Entries = std::map<std::string, int>;
using L = Dense::Layout;

struct VarInfo {
  std::string name;
  TensorType type;
  Shape shape;
  L layout = L::RowMajor;
};

struct LayerCase {
  std::string label;
  LayerType type;
  Entries entries;
  // Added after an InputData layer of shape (8, 8, 4); else added first.
  bool after_input;
  // Merge layers take the input twice.
  bool merge;
  Shape output;
  std::vector<VarInfo> variables;
  IpVersion ip;
  ComponentKind target;
};

std::shared_ptr<Layer> make_layer(LayerType type, const Entries& entries, const std::string& name) {
  auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

std::vector<VarInfo> v2_neuron_vars(uint32_t n, bool relu = true) {
  std::vector<VarInfo> vars = {{"bias", TensorType::int8, Shape{n}},
                               {"bias_shift", TensorType::uint8, Shape{n}},
                               {"output_scales", TensorType::uint8, Shape{n}},
                               {"output_shift", TensorType::int8, Shape{n}}};
  if (relu) {
    vars.push_back({"max_value", TensorType::uint8, Shape{n}});
    vars.push_back({"max_value_shift", TensorType::uint8, Shape{n}});
  }
  return vars;
}

std::vector<VarInfo> with(std::vector<VarInfo> a, const std::vector<VarInfo>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<VarInfo> v1_activation_vars(uint32_t n) {
  return {{"act_step", TensorType::float32, Shape{n}}, {"threshold", TensorType::int32, Shape{n}}};
}

const std::vector<LayerCase>& cases() {
  using T = TensorType;
  using C = ComponentKind;
  static const std::vector<LayerCase> all = {
      {"InputData",
       LayerType::InputData,
       {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}},
       false,
       false,
       Shape{8, 6, 3},
       {},
       IpVersion::none,
       C::None},
      {"InputConvolutional",
       LayerType::InputConvolutional,
       {{"input_width", 8},
        {"input_height", 8},
        {"input_channels", 1},
        {"kernel_width", 3},
        {"kernel_height", 3},
        {"padding", 1},
        {"stride_x", 2},
        {"stride_y", 2},
        {"filters", 1},
        {"weights_bits", 1},
        {"padding_value", 0},
        {"activation", 1},
        {"act_bits", 1},
        {"pooling_width", 2},
        {"pooling_height", 2},
        {"pool_type", 1},
        {"pooling_stride_x", 2},
        {"pooling_stride_y", 2}},
       false,
       false,
       Shape{2, 2, 1},
       with({{"weights", T::int8, Shape{3, 3, 1, 1}}}, v1_activation_vars(1)),
       IpVersion::v1,
       C::HRC},
      {"FullyConnected",
       LayerType::FullyConnected,
       {{"units", 10}},
       true,
       false,
       Shape{1, 1, 10},
       with({{"weights", T::bit, Shape{10, 256}, L::ColMajor}}, v1_activation_vars(10)),
       IpVersion::v1,
       C::FNP},
      {"Convolutional",
       LayerType::Convolutional,
       {{"filters", 6},
        {"kernel_width", 3},
        {"kernel_height", 3},
        {"pool_type", 1},
        {"pooling_width", 2},
        {"pooling_height", 2}},
       true,
       false,
       Shape{4, 4, 6},
       with({{"weights", T::int4, Shape{6, 4, 3, 3}, L::ColMajor}}, v1_activation_vars(6)),
       IpVersion::v1,
       C::CNP},
      {"SeparableConvolutional",
       LayerType::SeparableConvolutional,
       {{"filters", 5}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}},
       true,
       false,
       Shape{8, 8, 5},
       with({{"weights", T::int2, Shape{1, 4, 3, 3}, L::ColMajor},
             {"weights_pw", T::int2, Shape{5, 4}, L::ColMajor}},
            v1_activation_vars(5)),
       IpVersion::v1,
       C::CNP},
      {"Add",
       LayerType::Add,
       {},
       true,
       true,
       Shape{8, 8, 4},
       {{"a_shift", T::uint8, Shape{4}},
        {"b_shift", T::uint8, Shape{4}},
        {"output_shift", T::int8, Shape{4}}},
       IpVersion::none,
       C::SKIP_DMA},
      {"Concatenate",
       LayerType::Concatenate,
       {},
       true,
       true,
       Shape{8, 8, 8},
       {},
       IpVersion::none,
       C::SKIP_DMA},
      {"Conv2D",
       LayerType::Conv2D,
       {{"kernel_size", 3}, {"filters", 6}, {"kernel_stride", 2}},
       true,
       false,
       Shape{4, 4, 6},
       with({{"input_shift", T::uint8, Shape{4}}, {"weights", T::int8, Shape{3, 3, 4, 6}}},
            v2_neuron_vars(6)),
       IpVersion::v2,
       C::CNP},
      {"InputConv2D",
       LayerType::InputConv2D,
       {{"input_width", 16},
        {"input_height", 16},
        {"input_channels", 3},
        {"kernel_size", 3},
        {"filters", 8},
        {"kernel_stride", 2},
        {"pool_type", 1},
        {"pool_size", 3},
        {"pool_stride", 2}},
       false,
       false,
       Shape{4, 4, 8},
       with({{"padding_value", T::uint8, Shape{3}}, {"weights", T::int8, Shape{3, 3, 3, 8}}},
            v2_neuron_vars(8)),
       IpVersion::v2,
       C::HRC},
      {"DepthwiseConv2D",
       LayerType::DepthwiseConv2D,
       {{"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}, {"weights_bits", 4}},
       true,
       false,
       Shape{4, 4, 4},
       with({{"input_shift", T::uint8, Shape{4}}, {"weights", T::int4, Shape{3, 3, 1, 4}}},
            v2_neuron_vars(4)),
       IpVersion::v2,
       C::CNP},
      {"Conv2DTranspose",
       LayerType::Conv2DTranspose,
       {{"kernel_size", 3}, {"filters", 2}, {"activation", 2}},
       true,
       false,
       Shape{16, 16, 2},
       with({{"activation_scales", T::uint8, Shape{2}},
             {"activation_shift", T::int8, Shape{2}},
             {"input_shift", T::uint8, Shape{4}},
             {"lut_values", T::int32, Shape{2048}},
             {"weights", T::int8, Shape{3, 3, 4, 2}}},
            v2_neuron_vars(2, false)),
       IpVersion::v2,
       C::CNP},
      {"Dequantizer",
       LayerType::Dequantizer,
       {},
       true,
       false,
       Shape{8, 8, 4},
       {{"scales", T::float32, Shape{4}}},
       IpVersion::none,
       C::None},
      {"DepthwiseConv2DTranspose",
       LayerType::DepthwiseConv2DTranspose,
       {{"kernel_size", 4}, {"activation", 0}},
       true,
       false,
       Shape{16, 16, 4},
       with({{"input_shift", T::uint8, Shape{4}}, {"weights", T::int8, Shape{4, 4, 1, 4}}},
            v2_neuron_vars(4, false)),
       IpVersion::v2,
       C::CNP},
      {"BufferTempConv",
       LayerType::BufferTempConv,
       {{"fifo_size", 3}, {"filters", 7}},
       true,
       false,
       Shape{8, 8, 7},
       with({{"input_shift", T::uint8, Shape{4}}, {"weights", T::int8, Shape{1, 1, 12, 7}}},
            v2_neuron_vars(7)),
       IpVersion::v2,
       C::TNP_B},
      {"DepthwiseBufferTempConv",
       LayerType::DepthwiseBufferTempConv,
       {{"fifo_size", 5}},
       true,
       false,
       Shape{8, 8, 4},
       with({{"input_shift", T::uint8, Shape{4}}, {"weights", T::int8, Shape{1, 1, 5, 4}}},
            v2_neuron_vars(4)),
       IpVersion::v2,
       C::TNP_B},
      {"Dense1D",
       LayerType::Dense1D,
       {{"units", 3}, {"weights_bits", 4}},
       true,
       false,
       Shape{1, 1, 3},
       with({{"input_shift", T::uint8, Shape{256}}, {"weights", T::int4, Shape{256, 3}}},
            v2_neuron_vars(3)),
       IpVersion::v2,
       C::FNP},
      {"StatefulRecurrent",
       LayerType::StatefulRecurrent,
       {{"stateful_channels", 16}, {"output_channels", 6}, {"subsample", 3}},
       true,
       false,
       Shape{8, 3, 6},
       with({{"A_imag", T::int16, Shape{16}},
             {"A_real", T::int16, Shape{16}},
             {"in_proj", T::int8, Shape{16, 4}},
             {"input_shift", T::uint8, Shape{4}},
             {"internal_state_outputs_shift", T::int8, Shape{16}},
             {"new_state_scale", T::uint8, Shape{16}},
             {"new_state_shift", T::int8, Shape{16}},
             {"out_proj", T::int8, Shape{6, 16}}},
            v2_neuron_vars(6, false)),
       IpVersion::mote,
       C::TNP_R},
      {"Quantizer",
       LayerType::Quantizer,
       {{"input_width", 5}, {"input_height", 4}, {"input_channels", 2}},
       false,
       false,
       Shape{5, 4, 2},
       {{"scales", T::float32, Shape{2}}, {"zero_points", T::int32, Shape{2}}},
       IpVersion::none,
       C::None},
      {"MotePostProcessing",
       LayerType::MotePostProcessing,
       {},
       true,
       false,
       Shape{8, 1, 4},
       {{"input_scales", T::uint16, Shape{4}},
        {"input_shift", T::int8, Shape{4}},
        {"threshold", T::uint16, Shape{1}}},
       IpVersion::mote,
       C::TNP_R},
  };
  return all;
}

class LayerTypes : public ::testing::TestWithParam<LayerCase> {};

TEST_P(LayerTypes, BuildsShapeAndVariables) {
  const LayerCase& c = GetParam();
  auto model = Model::create();
  std::vector<std::shared_ptr<Layer>> inbounds;
  if (c.after_input) {
    auto input = make_layer(LayerType::InputData,
                            {{"input_width", 8}, {"input_height", 8}, {"input_channels", 4}}, "in");
    model->add(input, {});
    inbounds.push_back(input);
    if (c.merge) inbounds.push_back(input);
  }
  auto layer = make_layer(c.type, c.entries, "layer");
  model->add(layer, inbounds);

  EXPECT_EQ(layer->output_dims(), c.output);
  EXPECT_EQ(model->output_shape(), c.output);
  EXPECT_TRUE(layer->is_target_component(c.target));
  if (c.ip != IpVersion::none) {
    EXPECT_EQ(layer->ip_version(), c.ip);
  }

  std::vector<std::string> expected_names;
  for (const auto& v : c.variables) expected_names.push_back(v.name);
  std::sort(expected_names.begin(), expected_names.end());
  EXPECT_EQ(layer->variables().names(), expected_names);
  for (const auto& v : c.variables) {
    SCOPED_TRACE(v.name);
    auto dense = layer->variables().get(v.name);
    EXPECT_EQ(dense->type(), v.type);
    EXPECT_EQ(dense->shape(), v.shape);
    EXPECT_EQ(dense->layout(), v.layout);
  }
  // The parameters are a full, independent copy with every key of the type.
  for (const auto& [key, value] : c.entries) EXPECT_EQ(layer->params()->get(key), value);
}

INSTANTIATE_TEST_SUITE_P(EveryType, LayerTypes, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.label; });

TEST(LayerTypeTable, CoversEveryNamedTypeButUnknown) {
  std::vector<LayerType> covered;
  for (const auto& c : cases()) covered.push_back(c.type);
  for (int v = 0; v <= 28; ++v) {
    const auto type = static_cast<LayerType>(v);
    const bool named = std::find(covered.begin(), covered.end(), type) != covered.end();
    if (named) continue;
    EXPECT_THROW(LayerParams::create(type, {}), std::invalid_argument) << v;
  }
  EXPECT_EQ(covered.size(), 19u);
}

}  // namespace
}  // namespace morla

namespace morla {
namespace {

struct RecordCase {
  std::string label;
  Entries entries;
  std::array<uint32_t, 8> conv;
  std::array<uint32_t, 8> pool;
};

class WindowRecords : public ::testing::TestWithParam<RecordCase> {};

TEST_P(WindowRecords, ConvolutionAndPoolingRows) {
  const RecordCase& c = GetParam();
  auto model = Model::create();
  auto input = make_layer(LayerType::InputData,
                          {{"input_width", 8}, {"input_height", 6}, {"input_channels", 4}}, "in");
  model->add(input, {});
  auto layer = make_layer(LayerType::Conv2D, c.entries, "conv");
  const auto* conv = dynamic_cast<HasConvParams*>(layer.get());
  const auto* pool = dynamic_cast<HasPoolParams*>(layer.get());
  ASSERT_TRUE(conv && pool);
  EXPECT_EQ(conv->conv_params(), nullptr);  // not built yet
  model->add(layer, {input});
  EXPECT_TRUE(std::equal(c.conv.begin(), c.conv.end(), conv->conv_params()));
  EXPECT_TRUE(std::equal(c.pool.begin(), c.pool.end(), pool->pool_params()));
  EXPECT_EQ(layer->output_dims()[0], c.pool[1]);
  EXPECT_EQ(layer->output_dims()[1], c.pool[2]);
}

constexpr uint32_t kInputWord = 8 | 6 << 16;

INSTANTIATE_TEST_SUITE_P(
    Conv2D, WindowRecords,
    ::testing::Values(
        RecordCase{"NoPooling",
                   {{"kernel_size", 3}, {"filters", 2}},
                   {3 | 3 << 8 | 1 << 16 | 1 << 24, kInputWord, 8, 6, 1, 1, 1, 1},
                   {1 | 1 << 8, 8, 6, 0, 0, 0, 0, 0}},
        RecordCase{"MaxPooling",
                   {{"kernel_size", 5},
                    {"filters", 2},
                    {"pool_type", 1},
                    {"pool_size", 2},
                    {"padding", 0}},
                   {5 | 5 << 8 | 1 << 16 | 1 << 24, kInputWord, 4, 2, 0, 0, 0, 0},
                   {2 | 2 << 8, 2, 1, 0, 0, 0, 0, 0}},
        RecordCase{"SameUpperStride2",
                   {{"kernel_size", 3}, {"filters", 2}, {"kernel_stride", 2}, {"padding", 2}},
                   {3 | 3 << 8 | 2 << 16 | 2 << 24, kInputWord, 4, 3, 1, 0, 1, 0},
                   {1 | 1 << 8, 4, 3, 0, 0, 0, 0, 0}},
        RecordCase{"GlobalAverage",
                   {{"kernel_size", 1}, {"filters", 2}, {"pool_type", 2}, {"pool_size", -1}},
                   {1 | 1 << 8 | 1 << 16 | 1 << 24, kInputWord, 8, 6, 0, 0, 0, 0},
                   {1 | 1 << 8, 1, 1, 0, 0, 0, 0, 1}}),
    [](const auto& info) { return info.param.label; });

// Parameters of another origin, for the refusals of Layer::create.
class ForeignParams final : public LayerParams {
 public:
  explicit ForeignParams(LayerType type) : type_(type) {}
  int get(const std::string& key) const override { throw std::invalid_argument(key); }
  bool has(const std::string&) const override { return false; }
  std::vector<std::string> keys() const override { return {}; }
  LayerType layer_type() const override { return type_; }

 private:
  LayerType type_;
};

TEST(LayerCreate, Refusals) {
  EXPECT_THROW(Layer::create(nullptr, "x"), std::invalid_argument);
  ForeignParams unknown(LayerType::Unknown);
  EXPECT_THROW(Layer::create(&unknown, "x"), std::invalid_argument);
  ForeignParams empty_conv(LayerType::Conv2D);
  EXPECT_THROW(Layer::create(&empty_conv, "x"), std::invalid_argument);  // required keys
  // A pooling stride below 1 is refused when the layer is built.
  auto model = Model::create();
  auto input = make_layer(LayerType::InputData,
                          {{"input_width", 8}, {"input_height", 8}, {"input_channels", 4}}, "in");
  model->add(input, {});
  auto bad = make_layer(LayerType::Convolutional,
                        {{"filters", 2},
                         {"kernel_width", 3},
                         {"kernel_height", 3},
                         {"pool_type", 1},
                         {"pooling_width", 2},
                         {"pooling_height", 2},
                         {"pooling_stride_y", 0}},
                        "bad");
  EXPECT_THROW(model->add(bad, {input}), std::invalid_argument);
  auto two_inputs = make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 2}}, "two");
  EXPECT_THROW(model->add(two_inputs, {input, input}), std::invalid_argument);
}

TEST(LayerParamsImpl, KeysSortedAbsentKeyThrowsAndCloneIsIndependent) {
  auto params = LayerParams::create(LayerType::Dense1D, {{"units", 3}});
  EXPECT_EQ(params->keys(),
            (std::vector<std::string>{"activation", "output_bits", "units", "weights_bits"}));
  EXPECT_THROW(params->get("nope"), std::invalid_argument);
  auto copy = LayerParams::clone(params.get());
  params.reset();
  EXPECT_EQ(copy->get("units"), 3);
  EXPECT_THROW(LayerParams::create(LayerType::Dense1D, {{"units", 0}}), std::invalid_argument);
  EXPECT_THROW(LayerParams::create(LayerType::Dense1D, {{"units", 3}, {"filters", 2}}),
               std::invalid_argument);
}

TEST(LearningParamsImpl, UnsupervisedKeysAndClone) {
  auto learning = LearningParams::create(LearningType::MorlaUnsupervised, {{"num_weights", 4.0}});
  EXPECT_EQ(learning->keys().size(), 6u);
  EXPECT_EQ(learning->get("num_classes"), 1.0);
  EXPECT_THROW(learning->get("nope"), std::invalid_argument);
  EXPECT_THROW(LearningParams::create(LearningType::MorlaUnsupervised, {{"nope", 1.0}}),
               std::invalid_argument);
  auto copy = LearningParams::clone(learning.get());
  EXPECT_NE(copy.get(), learning.get());
  EXPECT_EQ(copy->get("num_weights"), 4.0);
}

TEST(ModelCompile, FullyConnectedGetsLearningVariables) {
  auto model = Model::create();
  auto input = make_layer(LayerType::InputData,
                          {{"input_width", 2}, {"input_height", 2}, {"input_channels", 4}}, "in");
  model->add(input, {});
  auto fc = make_layer(LayerType::FullyConnected, {{"units", 5}}, "fc");
  model->add(fc, {});
  model->compile(LearningParams::create(LearningType::MorlaUnsupervised, {{"num_weights", 4}}));
  EXPECT_TRUE(fc->compiled());
  EXPECT_EQ(fc->variables().get("thswap")->shape(), Shape{5});
  EXPECT_EQ(fc->variables().get("threshold_learning")->type(), TensorType::int32);
  EXPECT_NE(model->learning(), nullptr);
}

}  // namespace
}  // namespace morla

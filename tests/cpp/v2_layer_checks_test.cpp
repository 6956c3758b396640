// The rules a convolution or merge layer must meet on an IP v2 device: every rule broken by
// the smallest layer that breaks it, with its exact message, and merged messages.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "backend/v2/cnp_checks.h"
#include "backend/v2/merge_checks.h"
#include "test_helpers.h"
#include "v2_test_support.h"

namespace morla::v2 {
namespace {

using v2test::fill_values;
using v2test::Params;
using v2test::replace_variable;
using v2test::V2Model;

struct LayerCase {
  std::string name;
  LayerType type;
  Params params;
  // Input width, height, channels, bits.
  uint32_t x = 8, y = 8, c = 4;
  int input_bits = 8;
  std::function<void(Layer&)> tweak = nullptr;
  std::string expected;  // "Success." when the layer passes
};

MappingStatus check(const LayerCase& c) {
  V2Model m(c.x, c.y, c.c, c.input_bits);
  Params params = c.params;
  if (c.type == LayerType::Conv2D || c.type == LayerType::Conv2DTranspose)
    params.emplace("filters", 4);
  params.emplace("kernel_size", 3);
  auto layer = m.add("l", c.type, params, {"in"});
  if (c.tweak) c.tweak(*layer);
  const auto d = v2test::v2_description();
  switch (c.type) {
    case LayerType::Conv2D: return check_conv2d(d, *layer);
    case LayerType::DepthwiseConv2D: return check_depthwise_conv2d(d, *layer);
    case LayerType::Conv2DTranspose: return check_conv2d_transpose(d, *layer);
    default: return check_depthwise_conv2d_transpose(d, *layer);
  }
}

class V2CnpRule : public testing::TestWithParam<LayerCase> {};

TEST_P(V2CnpRule, ExactMessage) {
  const auto status = check(GetParam());
  EXPECT_EQ(status.text, GetParam().expected);
  if (!status.ok()) {
    EXPECT_EQ(status.kind, 1);
    EXPECT_EQ(status.layer_name, "l");
  }
}

std::function<void(Layer&)> input_shift_of(uint32_t elements) {
  return [elements](Layer& l) {
    replace_variable(l, "input_shift", TensorType::uint8, Shape{elements});
  };
}

const LayerType kConv = LayerType::Conv2D;
const LayerType kDepthwise = LayerType::DepthwiseConv2D;
const LayerType kTranspose = LayerType::Conv2DTranspose;
const LayerType kDepthwiseTranspose = LayerType::DepthwiseConv2DTranspose;
const char* kOk = "Success.";

INSTANTIATE_TEST_SUITE_P(
    Conv2D, V2CnpRule,
    testing::Values(
        LayerCase{"Valid", kConv, {}, 8, 8, 4, 8, nullptr, kOk},
        LayerCase{"WeightsWiderThanInput",
                  kConv,
                  {},
                  8,
                  8,
                  4,
                  4,
                  nullptr,
                  "Input bits should be >= weights bits."},
        LayerCase{"WidthAtLimit", kConv, {}, 4096, 1, 1, 8, nullptr, kOk},
        LayerCase{"TooWide",
                  kConv,
                  {},
                  4097,
                  1,
                  1,
                  8,
                  nullptr,
                  "The maximum input width is 4096 (got 4097)."},
        LayerCase{"TooHigh",
                  kConv,
                  {},
                  1,
                  4097,
                  1,
                  8,
                  nullptr,
                  "The maximum input height is 4096 (got 4097)."},
        LayerCase{"TooManyFilters",
                  kConv,
                  {{"filters", 2049}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "The maximum number of filters is 2048 (got 2049)."},
        LayerCase{"TooManyChannels",
                  kConv,
                  {},
                  2,
                  2,
                  2049,
                  8,
                  nullptr,
                  "The maximum input channel value is 2048 (got 2049). Input shift exceeds memory. "
                  "Maximum size is 768 bytes. (got 771 bytes)."},
        LayerCase{"InputShiftAtLimit", kConv, {}, 8, 8, 4, 8, input_shift_of(2048), kOk},
        LayerCase{"InputShiftTooLarge",
                  kConv,
                  {},
                  8,
                  8,
                  4,
                  8,
                  input_shift_of(2049),
                  "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."},
        LayerCase{"WideActivation",
                  kConv,
                  {{"output_bits", 16}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "With activation output bitwidth should be <= 8. With activation output "
                  "bitwidth should be 4 or 8."},
        LayerCase{"TwoBitInput",
                  kConv,
                  {{"weights_bits", 2}},
                  8,
                  8,
                  4,
                  2,
                  nullptr,
                  "Input should be 4-bit or 8-bit. Weights bitwidth should be 4-bit or 8-bit."},
        LayerCase{"ValidPadding",
                  kConv,
                  {{"padding", 0}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Only padding 'Same' and 'SameUpper' are supported."},
        LayerCase{"SameUpperStride1",
                  kConv,
                  {{"padding", 2}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "With SameUpper padding only stride 2 is supported."},
        LayerCase{"SameUpper4BitActivation",
                  kConv,
                  {{"padding", 2}, {"kernel_stride", 2}, {"output_bits", 4}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "With SameUpper padding only 8-bit activations are supported."},
        LayerCase{"SameUpper4BitWeights",
                  kConv,
                  {{"padding", 2}, {"kernel_stride", 2}, {"weights_bits", 4}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "With SameUpper padding only 8-bit weights are supported."},
        LayerCase{"PoolingAndStride",
                  kConv,
                  {{"pool_type", 1}, {"pool_size", 2}, {"kernel_stride", 2}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "The CNP cannot support both pooling and stride."},
        LayerCase{"WideAveragePooling",
                  kConv,
                  {{"pool_type", 2}, {"pool_size", -1}, {"activation", 0}, {"output_bits", 28}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "With average pooling output bitwidth should be <= 8."},
        LayerCase{"LocalAveragePooling",
                  kConv,
                  {{"pool_type", 2}, {"pool_size", 2}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Global Average pooling must be global."},
        LayerCase{"AveragePoolingTooWide",
                  kConv,
                  {{"pool_type", 2}, {"pool_size", -1}},
                  65,
                  1,
                  4,
                  8,
                  nullptr,
                  "When using Global Average Pooling, input height cannot exceed 64."},
        LayerCase{"AveragePoolingArea144",
                  kConv,
                  {{"pool_type", 2}, {"pool_size", -1}},
                  8,
                  18,
                  4,
                  8,
                  nullptr,
                  kOk},
        LayerCase{"AveragePoolingArea153",
                  kConv,
                  {{"pool_type", 2}, {"pool_size", -1}},
                  9,
                  17,
                  4,
                  8,
                  nullptr,
                  "When using Global Average Pooling, input dimensions width * height cannot "
                  "exceed 144."},
        LayerCase{"AveragePoolingSplit",
                  kConv,
                  {{"pool_type", 2}, {"pool_size", -1}},
                  8,
                  18,
                  456,
                  8,
                  nullptr,
                  "When using Global Average Pooling, spatial split is impossible."},
        LayerCase{"MaxPoolingSize3",
                  kConv,
                  {{"pool_type", 1}, {"pool_size", 3}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Pooling size must be 1 or 2."},
        LayerCase{"MaxPoolingLargerThanInput",
                  kConv,
                  {{"pool_type", 1}, {"pool_size", 2}},
                  1,
                  8,
                  4,
                  8,
                  nullptr,
                  "Pooling size cannot be greater than input dimensions."},
        LayerCase{"MaxPoolingWithLut",
                  kConv,
                  {{"pool_type", 1}, {"pool_size", 2}, {"activation", 2}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Max pooling is not supported with activation LUT."},
        LayerCase{"Kernel2",
                  kConv,
                  {{"kernel_size", 2}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Kernel size must be 1, 3, 5 or 7."},
        LayerCase{"LutWith4BitOutput",
                  kConv,
                  {{"activation", 2}, {"output_bits", 4}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "4-bit activation is not supported with LUT."},
        LayerCase{"NoActivation16Bit",
                  kConv,
                  {{"activation", 0}, {"output_bits", 16}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Without activation output bitwidth should be 8 or 28."},
        LayerCase{"TwoBitWeights",
                  kConv,
                  {{"weights_bits", 2}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Weights bitwidth should be 4-bit or 8-bit."},
        LayerCase{"FilterTooBig",
                  kConv,
                  {},
                  2,
                  2,
                  683,
                  8,
                  nullptr,
                  "Filter size is too big to fit in a CNP: try decreasing the input channels or "
                  "the bitwidth."},
        LayerCase{"FourBitWeightsEightBitPotential",
                  kConv,
                  {{"activation", 0}, {"weights_bits", 4}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "4-bit weights and 8-bit potential is not allowed."},
        LayerCase{"FourBitWeightsWithRelu", kConv, {{"weights_bits", 4}}, 8, 8, 4, 8, nullptr, kOk},
        LayerCase{"ThreeRules",
                  kConv,
                  {{"padding", 0}, {"kernel_size", 2}, {"weights_bits", 2}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Only padding 'Same' and 'SameUpper' are supported. Kernel size must be 1, 3, 5 "
                  "or 7. Weights bitwidth should be 4-bit or 8-bit."}),
    test::names_by([](const auto& c) { return c.name; }));

INSTANTIATE_TEST_SUITE_P(
    DepthwiseConv2D, V2CnpRule,
    testing::Values(
        LayerCase{"Valid", kDepthwise, {}, 8, 8, 4, 8, nullptr, kOk},
        LayerCase{"Kernel1",
                  kDepthwise,
                  {{"kernel_size", 1}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Kernel size must be 3, 5 or 7."},
        LayerCase{"ChannelsCountAsFilters",
                  kDepthwise,
                  {},
                  2,
                  2,
                  2049,
                  8,
                  nullptr,
                  "The maximum input channel value is 2048 (got 2049). The maximum number of "
                  "filters is 2048 (got 2049). Input shift exceeds memory. Maximum size is 768 "
                  "bytes. (got 771 bytes)."},
        LayerCase{"FourBitWeightsEightBitActivation",
                  kDepthwise,
                  {{"weights_bits", 4}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "4-bit weights and 8-bit activation is not allowed."},
        LayerCase{"FourBitWeightsWithoutActivation",
                  kDepthwise,
                  {{"weights_bits", 4}, {"activation", 0}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  kOk}),
    test::names_by([](const auto& c) { return c.name; }));

INSTANTIATE_TEST_SUITE_P(
    Transposed, V2CnpRule,
    testing::Values(
        LayerCase{"Valid", kTranspose, {{"padding", 0}}, 8, 8, 4, 8, nullptr, kOk},
        LayerCase{"FourBitInput",
                  kTranspose,
                  {{"weights_bits", 4}},
                  8,
                  8,
                  4,
                  4,
                  nullptr,
                  "Input should be 8-bit. Weights should be 8-bit."},
        LayerCase{"FourBitActivation",
                  kTranspose,
                  {{"output_bits", 4}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "With activation output bitwidth should be 8."},
        LayerCase{"Kernel5",
                  kTranspose,
                  {{"kernel_size", 5}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Kernel size must be 3 or 4."},
        LayerCase{"FilterTooBig",
                  kTranspose,
                  {},
                  2,
                  2,
                  683,
                  8,
                  nullptr,
                  "Filter size is too big to fit in a CNP: try decreasing the input."},
        LayerCase{
            "DepthwiseValid", kDepthwiseTranspose, {{"kernel_size", 4}}, 8, 8, 4, 8, nullptr, kOk},
        LayerCase{"DepthwiseFourBitWeights",
                  kDepthwiseTranspose,
                  {{"weights_bits", 4}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Weights should be 8-bit."},
        LayerCase{"DepthwiseKernel7",
                  kDepthwiseTranspose,
                  {{"kernel_size", 7}},
                  8,
                  8,
                  4,
                  8,
                  nullptr,
                  "Kernel size must be 3 or 4."}),
    test::names_by([](const auto& c) { return c.name; }));

// A fork merged by an Add (or Concatenate) `m` and followed by the conv `after`:
// in -> a -> b -> m, a -> m, m -> after.
struct MergeGraph {
  explicit MergeGraph(LayerType type, Params merge_params = {}, bool conv_after = true) {
    model.conv("a", {"in"});
    model.conv("b", {"a"});
    merge = model.add("m", type, merge_params, {"b", "a"});
    if (conv_after)
      model.conv("after", {"m"});
    else
      model.add("after", LayerType::Dense1D, {{"units", 4}}, {"m"});
  }
  void set_shifts(std::vector<uint8_t> a, std::vector<uint8_t> b, std::vector<int8_t> o) {
    fill_values(*merge->variables().get("a_shift"), a);
    fill_values(*merge->variables().get("b_shift"), b);
    fill_values(*merge->variables().get("output_shift"), o);
  }
  V2Model model;
  LayerPtr merge;
};

struct ShiftCase {
  std::string name;
  uint8_t a, b;
  int8_t o;
  std::string expected;
};

class V2AddShiftRule : public testing::TestWithParam<ShiftCase> {};

TEST_P(V2AddShiftRule, PerChannel) {
  const auto& c = GetParam();
  MergeGraph g(LayerType::Add);
  g.set_shifts({0, c.a, 0, 0}, {0, c.b, 0, 0}, {0, c.o, 0, 0});
  EXPECT_EQ(check_add(*g.merge).text, c.expected);
}

const char* kInputShift =
    "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15.";
const char* kOutputShift =
    "This model cannot be mapped in hardware, Add output shift is out of range. Should be in [-4, "
    "3].";

INSTANTIATE_TEST_SUITE_P(
    Shifts, V2AddShiftRule,
    testing::Values(ShiftCase{"Difference15", 3, 18, -15, kOk},
                    ShiftCase{"Difference16", 3, 19, -16, kInputShift},
                    ShiftCase{"Merged3", 2, 2, 1, kOk}, ShiftCase{"Merged4", 2, 2, 2, kOutputShift},
                    ShiftCase{"MergedMinus4", 0, 0, -4, kOk},
                    ShiftCase{"MergedMinus5", 0, 0, -5, kOutputShift},
                    ShiftCase{"Both", 20, 0, 0, std::string(kInputShift) + " " + kOutputShift}),
    test::names_by([](const auto& c) { return c.name; }));

TEST(V2MergeChecks, PlaceInTheGraph) {
  EXPECT_EQ(check_add(*MergeGraph(LayerType::Add).merge).text, kOk);
  EXPECT_EQ(check_add(*MergeGraph(LayerType::Add, {{"output_bits", 16}}).merge).text,
            "Output must be 8-bit.");
  EXPECT_EQ(check_add(*MergeGraph(LayerType::Add, {}, false).merge).text,
            "Must be followed by a merge layer.");
  EXPECT_EQ(
      check_concatenate(*MergeGraph(LayerType::Concatenate, {{"output_bits", 16}}).merge).text,
      kOk);

  V2Model m;
  m.conv("a", {"in"});
  const auto from_input = m.add("add", LayerType::Add, {}, {"in", "a"});
  m.conv("after", {"add"});
  EXPECT_EQ(check_add(*from_input).text, "Inbounds must be of types Conv, Add or Concat.");

  const auto twice = m.add("twice", LayerType::Add, {{"output_bits", 16}}, {"a", "a"});
  m.conv("after2", {"twice"});
  const auto status = check_add(*twice);
  EXPECT_EQ(status.text, "Add inbounds must come from different layers.");
  EXPECT_EQ(status.layer_name, "twice");
  // An empty inbound entry is no inbound of a wrong type.
  const v2test::LayerView with_gap(from_input, {m["a"], nullptr, m["a"]});
  m.conv("a2", {"in"});
  EXPECT_EQ(check_add(v2test::LayerView(twice, {m["a"], nullptr, m["a2"]})).text,
            "Output must be 8-bit.");
  EXPECT_EQ(check_add(with_gap).text, "Add inbounds must come from different layers.");
  const auto cat = m.add("cat", LayerType::Concatenate, {}, {"a", "a"});
  m.conv("after3", {"cat"});
  EXPECT_EQ(check_concatenate(*cat).text, "Concatenate inbounds must come from different layers.");
}

}  // namespace
}  // namespace morla::v2

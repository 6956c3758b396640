// The v1 CNP checks: each geometry, convolution and separable rule broken alone, merged
// failures, the multi-NP rules and the built-record accessors.
#include <gtest/gtest.h>

#include "backend/v1/cnp_checks.h"
#include "test_helpers.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;

const Entries kConv = {{"kernel_width", 3}, {"kernel_height", 3}, {"stride_x", 1},
                       {"stride_y", 1},     {"padding", 1},       {"pool_type", 0},
                       {"filters", 8},      {"weights_bits", 4},  {"activation", 1},
                       {"act_bits", 1}};
const Entries kMaxPool = {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}};
const Entries kAveragePool = {{"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}};

Entries merge(Entries a, const Entries& b) { return with(std::move(a), b); }

struct CnpCase {
  std::string label;
  LayerType type;
  Entries changes;
  Shape input;
  bool orbi_v2;
  std::string message;     // empty: the layer passes
  Entries overrides = {};  // values the engine refuses to build with
  std::optional<Shape> seen_input = {};
};

std::string Name(const testing::TestParamInfo<CnpCase>& info) { return info.param.label; }

MappingStatus check(const HardwareDescription& d, const std::shared_ptr<Layer>& layer,
                    bool orbi_v2) {
  const uint32_t hw = orbi_v2 ? orbi_v2_word() : v1_word();
  if (layer->params()->layer_type() == LayerType::Convolutional)
    return check_convolutional(d, *layer, hw);
  return check_separable_convolutional(d, *layer, hw);
}

Built build(const CnpCase& c) {
  const Built b = after_input(c.type, merge(kConv, c.changes), c.input[0], c.input[1], c.input[2]);
  if (c.type == LayerType::SeparableConvolutional) {
    fill<int8_t>(*b.layer, "weights", 1);
    fill<int8_t>(*b.layer, "weights_pw", 1);
  }
  return b;
}

std::shared_ptr<Layer> seen(const CnpCase& c, const Built& b) {
  if (c.overrides.empty() && !c.seen_input) return b.layer;
  if (c.type == LayerType::Convolutional)
    return overridden<Convolutional>(b.layer, c.overrides, c.seen_input);
  return overridden<SeparableConvolutional>(b.layer, c.overrides, c.seen_input);
}

class CnpRule : public testing::TestWithParam<CnpCase> {};

TEST_P(CnpRule, SmallestLayerBreakingItGivesItsMessage) {
  const CnpCase& c = GetParam();
  const Built b = build(c);
  const MappingStatus status = check(description(), seen(c, b), c.orbi_v2);
  if (c.message.empty()) {
    EXPECT_TRUE(status.ok()) << status.message();
  } else {
    EXPECT_EQ(status.text, c.message);
    EXPECT_EQ(status.layer_name, "layer");
  }
}

const auto C = LayerType::Convolutional;
const auto S = LayerType::SeparableConvolutional;

INSTANTIATE_TEST_SUITE_P(
    Geometry, CnpRule,
    testing::Values(
        CnpCase{"Valid", C, {}, Shape{8, 8, 4}, false, ""},
        CnpCase{"Width",
                C,
                {},
                Shape{4097, 4, 4},
                false,
                "The maximum input width is 4096 (got 4097)."},
        CnpCase{"Height",
                C,
                {},
                Shape{4, 4097, 4},
                false,
                "The maximum input height is 4096 (got 4097)."},
        CnpCase{"Channels",
                C,
                {},
                Shape{4, 4, 2049},
                false,
                "The maximum input channel value is 2048 (got 2049)."},
        CnpCase{"FiltersAtLimit", C, {{"filters", 2048}}, Shape{8, 8, 4}, false, ""},
        CnpCase{"Filters",
                C,
                {{"filters", 2049}},
                Shape{8, 8, 4},
                false,
                "The maximum number of filters is 2048 (got 2049)."},
        CnpCase{"NegativeFilters",
                C,
                {},
                Shape{8, 8, 4},
                false,
                "The maximum number of filters is 2048 (got -1).",
                {{"filters", -1}}},
        CnpCase{"KernelUnequal",
                C,
                {{"kernel_height", 5}},
                Shape{8, 8, 4},
                false,
                "Kernel width and height must be equal."},
        CnpCase{"StridesUnequal",
                C,
                {{"stride_y", 2}},
                Shape{8, 8, 4},
                false,
                "Horizontal and vertical strides must be equal."},
        CnpCase{"Stride3",
                C,
                {{"stride_x", 3}, {"stride_y", 3}},
                Shape{8, 8, 4},
                false,
                "Convolution stride must be 1 or 2."},
        CnpCase{"Stride0",
                C,
                {},
                Shape{8, 8, 4},
                false,
                "Convolution stride must be 1 or 2.",
                {{"stride_x", 0}, {"stride_y", 0}}},
        CnpCase{"Stride2Kernel5",
                C,
                {{"stride_x", 2}, {"stride_y", 2}, {"kernel_width", 5}, {"kernel_height", 5}},
                Shape{8, 8, 4},
                false,
                "Convolution stride 2 is only supported for 3x3 kernels."},
        CnpCase{"PaddingValid",
                C,
                {{"padding", 0}},
                Shape{8, 8, 4},
                false,
                "Only padding same is supported."},
        CnpCase{"GlobalAverage", C, kAveragePool, Shape{8, 8, 4}, false, ""},
        CnpCase{"AverageNotGlobal", C,
                merge(kAveragePool, {{"pooling_width", 3}, {"pooling_height", 3}}), Shape{8, 8, 4},
                false, "Average pooling must be global."},
        CnpCase{"AverageWidth32", C, kAveragePool, Shape{32, 4, 4}, false, ""},
        CnpCase{"AverageWidth33", C, kAveragePool, Shape{33, 4, 4}, false,
                "With average pooling, input height cannot exceed 32."},
        CnpCase{"AverageTwoRows", C, kAveragePool, Shape{8, 2, 4}, false,
                "When using Global Average Pooling, the output of the convolution must have at "
                "least 3 rows (currently 2)."},
        CnpCase{"AverageInputWords", C, kAveragePool, Shape{32, 43, 64}, false,
                "With average pooling, spatial split is impossible."},
        CnpCase{"MaxPool2", C, kMaxPool, Shape{8, 8, 4}, false, ""},
        CnpCase{"MaxPool4", C, merge(kMaxPool, {{"pooling_width", 4}, {"pooling_height", 4}}),
                Shape{8, 8, 4}, false, "Pooling size must be 1, 2 or 3."},
        CnpCase{"MaxPool3", C, merge(kMaxPool, {{"pooling_width", 3}, {"pooling_height", 3}}),
                Shape{8, 8, 4}, false, ""},
        CnpCase{"MaxPool3OrbiV2", C, merge(kMaxPool, {{"pooling_width", 3}, {"pooling_height", 3}}),
                Shape{8, 8, 4}, true, "Pooling size 3 is not supported on Orbi_v2."},
        CnpCase{"PoolUnequal", C,
                merge(kMaxPool,
                      {{"pooling_height", 1}, {"pooling_stride_x", 2}, {"pooling_stride_y", 2}}),
                Shape{8, 8, 4}, false, "Pooling width and height must be equal."},
        CnpCase{"PoolStridesUnequal", C,
                merge(kMaxPool, {{"pooling_stride_x", 2}, {"pooling_stride_y", 1}}), Shape{8, 8, 4},
                false, "Pooling stride x and y must be equal."},
        CnpCase{"PoolStrideAboveSize", C,
                merge(kMaxPool, {{"pooling_stride_x", 3}, {"pooling_stride_y", 3}}), Shape{8, 8, 4},
                false, "Pooling stride must be equal or lower than pooling size."},
        CnpCase{"PoolAboveInput",
                C,
                kMaxPool,
                Shape{8, 8, 4},
                false,
                "Pooling size cannot be greater than input dimensions.",
                {},
                Shape{8, 1, 4}}),
    Name);

INSTANTIATE_TEST_SUITE_P(
    Convolution, CnpRule,
    testing::Values(
        CnpCase{"Kernel2",
                C,
                {{"kernel_width", 2}, {"kernel_height", 2}},
                Shape{8, 8, 4},
                false,
                "Kernel size must be 1, 3, 5 or 7."},
        CnpCase{
            "Kernel1", C, {{"kernel_width", 1}, {"kernel_height", 1}}, Shape{8, 8, 4}, false, ""},
        CnpCase{"Bits3",
                C,
                {{"weights_bits", 3}},
                Shape{8, 8, 4},
                false,
                "Standard CNP weights bitwidth must be 1, 2 or 4."},
        CnpCase{
            "Kernel2Bits3",
            C,
            {{"kernel_width", 2}, {"kernel_height", 2}, {"weights_bits", 3}},
            Shape{8, 8, 4},
            false,
            "Kernel size must be 1, 3, 5 or 7. Standard CNP weights bitwidth must be 1, 2 or 4."},
        CnpCase{"GeometryAlone",
                C,
                {{"stride_y", 2}, {"weights_bits", 3}},
                Shape{8, 8, 4},
                false,
                "Horizontal and vertical strides must be equal."},
        CnpCase{"TwoGeometryRules",
                C,
                {{"stride_y", 2}, {"padding", 0}},
                Shape{8, 8, 4},
                false,
                "Horizontal and vertical strides must be equal. Only padding same is supported."}),
    Name);

INSTANTIATE_TEST_SUITE_P(
    Separable, CnpRule,
    testing::Values(CnpCase{"Valid", S, {}, Shape{8, 8, 4}, false, ""},
                    CnpCase{"Kernel1",
                            S,
                            {{"kernel_width", 1}, {"kernel_height", 1}},
                            Shape{8, 8, 4},
                            false,
                            "Kernel size must be 3, 5 or 7."},
                    CnpCase{"Bits1",
                            S,
                            {{"weights_bits", 1}},
                            Shape{8, 8, 4},
                            false,
                            "Separable CNP weights bitwidth must be 2 or 4."},
                    CnpCase{
                        "AverageOneByOne",
                        S,
                        kAveragePool,
                        Shape{8, 8, 4},
                        false,
                        "Separable CNP with Global Average Pooling does not support 1x1 inputs.",
                        {},
                        Shape{1, 1, 4}}),
    Name);

TEST(CnpWeightFit, FilterTooBigForTheWeightMemory) {
  // 10 slots of weight memory; one 3x3 filter over 4 channels takes 64.
  const Built b = after_input(LayerType::Convolutional, kConv, 8, 8, 4);
  EXPECT_EQ(
      check_convolutional(description(65536, 64), *b.layer, v1_word()).text,
      "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth.");
}

TEST(SeparableWeights, WeightFitFailureKeepsTheZeroWeightRule) {
  const Built b = after_input(LayerType::SeparableConvolutional, kConv, 8, 8, 4);
  EXPECT_EQ(
      check_separable_convolutional(description(65536, 64), *b.layer, v1_word()).text,
      "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth. "
      "All weights in a separable CNP layer cannot be zeroes.");
}

TEST(SeparableWeights, ZeroDepthwiseOrPointwiseWeightsFailOnce) {
  const std::string zeroes = "All weights in a separable CNP layer cannot be zeroes.";
  for (const char* zero : {"weights", "weights_pw"}) {
    const Built b = after_input(LayerType::SeparableConvolutional, kConv, 8, 8, 4);
    fill<int8_t>(*b.layer, zero == std::string("weights") ? "weights_pw" : "weights", 1);
    EXPECT_EQ(check_separable_convolutional(description(), *b.layer, v1_word()).text, zeroes)
        << zero;
  }
  const Built both = after_input(LayerType::SeparableConvolutional, kConv, 8, 8, 4);
  EXPECT_EQ(check_separable_convolutional(description(), *both.layer, v1_word()).text, zeroes);
}

TEST(BuiltRecords, UnbuiltLayerIsRefusedByName) {
  const auto layer = make_layer(LayerType::Convolutional, kConv, "lonely");
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { check_convolutional(description(), *layer, v1_word()); }),
            "The layer lonely is not built.");
}

TEST(BuiltRecords, OnlyTheV1TypesAnswerTheirCasts) {
  const auto conv = after_input(LayerType::Convolutional, kConv, 8, 8, 4);
  const auto fc = after_input(LayerType::FullyConnected, {{"units", 2}}, 2, 2, 2);
  const auto conv2d = after_input(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 2}}, 8, 8, 4);
  EXPECT_NE(dynamic_cast<const Convolutional*>(conv.layer.get()), nullptr);
  EXPECT_EQ(dynamic_cast<const SeparableConvolutional*>(conv.layer.get()), nullptr);
  EXPECT_NE(dynamic_cast<const FullyConnected*>(fc.layer.get()), nullptr);
  EXPECT_EQ(dynamic_cast<const WindowedV1Layer*>(conv2d.layer.get()), nullptr);
  EXPECT_EQ(dynamic_cast<const FullyConnected*>(conv2d.layer.get()), nullptr);
}

hw::Component cnp(uint32_t x, uint32_t y, uint32_t filters, uint32_t start = 0) {
  hw::Component c;
  c.type = hw::Type::CNP1;
  hw::NpBlock block;
  block.start_neuron = start;
  block.filters = filters;
  block.spatial_partition = {x, y, Shape{8, 8, 1}};
  block.input_window = block.spatial_partition;
  c.np_block = block;
  return c;
}

TEST(MultiNp, StrideTwoWithMaxPoolingCannotBeSplitSpatially) {
  const Built b = after_input(LayerType::Convolutional,
                              merge(kConv, merge(kMaxPool, {{"stride_x", 2},
                                                            {"stride_y", 2},
                                                            {"pooling_stride_x", 2},
                                                            {"pooling_stride_y", 2}})),
                              16, 8, 4);
  EXPECT_TRUE(check_multi_np_convolution(*b.layer, {cnp(0, 0, 8)}, v1_word()).ok());
  EXPECT_EQ(
      check_multi_np_convolution(*b.layer, {cnp(0, 0, 8), cnp(8, 0, 8)}, v1_word()).text,
      "Cannot have convolution stride > 1 and max pooling if the layer is mapped on multiple NPs.");
}

TEST(MultiNp, PoolingLargerThanItsStrideCannotBeSplitSpatially) {
  const Built b = after_input(LayerType::Convolutional,
                              merge(kConv, merge(kMaxPool, {{"pooling_width", 3},
                                                            {"pooling_height", 3},
                                                            {"pooling_stride_x", 2},
                                                            {"pooling_stride_y", 2}})),
                              16, 8, 4);
  const std::string message =
      "Cannot have pooling size > pooling stride if the layer is mapped spatially on multiple NPs.";
  EXPECT_TRUE(check_multi_np_pooling(*b.layer, {cnp(0, 0, 4), cnp(0, 0, 4, 4)}).ok());
  EXPECT_EQ(check_multi_np_pooling(*b.layer, {cnp(0, 0, 8), cnp(0, 8, 8)}).text, message);
  EXPECT_EQ(check_multi_np_convolution(*b.layer, {cnp(0, 0, 8), cnp(0, 8, 8)}, v1_word()).text,
            message);
}

TEST(MultiNp, DefaultPoolingStridesAreThePoolingSize) {
  // Pooling strides of -1 (the engine's default) stand for the pooling size: 2 x 2 pooling
  // with stride 2 splits spatially.
  const Built b = after_input(LayerType::Convolutional, merge(kConv, kMaxPool), 16, 8, 4);
  EXPECT_TRUE(check_multi_np_pooling(*b.layer, {cnp(0, 0, 8), cnp(0, 8, 8)}).ok());
}

TEST(MultiNp, OneChannelOnOrbiV2NeedsAnEvenNumberOfNeuronGroupsPerNp) {
  const Built b = after_input(LayerType::Convolutional, merge(kConv, {{"filters", 24}}), 8, 8, 1);
  const std::vector<hw::Component> split = {cnp(0, 0, 16), cnp(0, 0, 8, 16)};
  EXPECT_EQ(check_multi_np_convolution(*b.layer, split, orbi_v2_word()).text,
            "With one input channel, the number of neurons per NP / 8 must be even.");
  EXPECT_TRUE(check_multi_np_convolution(*b.layer, split, v1_word()).ok());
  const std::vector<hw::Component> odd = {cnp(0, 0, 8), cnp(0, 0, 8, 8), cnp(0, 0, 8, 16)};
  EXPECT_EQ(check_multi_np_convolution(*b.layer, odd, orbi_v2_word()).text,
            "With one input channel, the number of neurons per NP / 8 must be even. "
            "With one input channel, the number of neurons per NP / 8 must be even. "
            "With one input channel, the number of neurons per NP / 8 must be even.");
}

}  // namespace
}  // namespace morla::v1

namespace morla::v1 {
namespace {

TEST(EngineStrides, StridesBelowOneAreRefusedWhenTheLayerIsBuilt) {
  using namespace v1_test;
  EXPECT_THROW(after_input(LayerType::Convolutional,
                           merge(kConv, {{"stride_x", 0}, {"stride_y", 0}}), 8, 8, 4),
               std::invalid_argument);
  EXPECT_EQ(test::error_text<std::invalid_argument>([] {
              after_input(LayerType::Convolutional,
                          merge(kConv, merge(kMaxPool, {{"pooling_stride_x", 0}})), 8, 8, 4);
            }),
            "Cannot build layer 'layer' (Convolutional): pooling strides must be at least 1.");
}

}  // namespace
}  // namespace morla::v1

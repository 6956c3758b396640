// The rules of Dense1D (FNP), InputConv2D (HRC) and the temporal layers (TNP-B) on IP v2:
// every rule broken by the smallest layer that breaks it, with its exact message.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "backend/v2/fnp_sizes.h"
#include "backend/v2/hrc_checks.h"
#include "backend/v2/tnp_b_checks.h"
#include "backend/v2/tnp_b_sizes.h"
#include "test_helpers.h"
#include "v2_test_support.h"

namespace morla::v2 {
namespace {

using v2test::fill_values;
using v2test::Params;
using v2test::replace_variable;
using v2test::V2Model;

const char* kOk = "Success.";

struct RuleCase {
  std::string name;
  Params params;
  // Input width, height, channels, bits.
  uint32_t x, y, c;
  int input_bits;
  std::function<void(Layer&)> tweak;
  std::string expected;
};

std::function<void(Layer&)> input_shift_of(uint32_t n) {
  return [n](Layer& l) { replace_variable(l, "input_shift", TensorType::uint8, Shape{n}); };
}

// ---- Dense1D ------------------------------------------------------------------------------

class V2DenseRule : public testing::TestWithParam<RuleCase> {};

TEST_P(V2DenseRule, ExactMessage) {
  const auto& c = GetParam();
  V2Model m(c.x, c.y, c.c, c.input_bits);
  Params p = c.params;
  p.emplace("units", 4);
  const auto dense = m.add("d", LayerType::Dense1D, p, {"in"});
  if (c.tweak) c.tweak(*dense);
  const auto status = check_dense1d(v2test::v2_description(), *dense, m["in"].get());
  EXPECT_EQ(status.text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dense1D, V2DenseRule,
    testing::Values(
        RuleCase{"Valid", {}, 2, 2, 4, 8, nullptr, kOk},
        RuleCase{"WeightsWiderThanInput",
                 {},
                 2,
                 2,
                 4,
                 4,
                 nullptr,
                 "Input bits should be >= weights bits."},
        RuleCase{"TwoBitInput",
                 {{"weights_bits", 4}, {"output_bits", 4}},
                 2,
                 2,
                 4,
                 2,
                 nullptr,
                 "Input should be 4-bit or 8-bit. Input bits should be >= weights bits."},
        RuleCase{
            "SixBitOutput",
            {{"output_bits", 6}},
            2,
            2,
            4,
            8,
            nullptr,
            "Output bits should be 4, 8 or > 8. With activation output bitwidth should be 4 or 8."},
        RuleCase{"WideActivation",
                 {{"output_bits", 16}},
                 2,
                 2,
                 4,
                 8,
                 nullptr,
                 "With activation output bitwidth should be 4 or 8."},
        RuleCase{"LutWith4BitOutput",
                 {{"activation", 2}, {"output_bits", 4}},
                 2,
                 2,
                 4,
                 8,
                 nullptr,
                 "4-bit activation is not supported with LUT."},
        RuleCase{"ReluWith4BitOutput", {{"output_bits", 4}}, 2, 2, 4, 8, nullptr, kOk},
        RuleCase{"NoActivation16Bit",
                 {{"activation", 0}, {"output_bits", 16}},
                 2,
                 2,
                 4,
                 8,
                 nullptr,
                 "Without activation output bitwidth should be 8, 28 or 32."},
        RuleCase{"NoActivation28Bit",
                 {{"activation", 0}, {"output_bits", 28}},
                 2,
                 2,
                 4,
                 8,
                 nullptr,
                 kOk},
        RuleCase{"InputTooLarge",
                 {},
                 64,
                 64,
                 1,
                 8,
                 nullptr,
                 "Input dimensions are too large to fit in a FNP. The maximum value is 2048."},
        RuleCase{"TwoBitWeights",
                 {{"weights_bits", 2}},
                 2,
                 2,
                 4,
                 8,
                 nullptr,
                 "Weights bitwidth should be 4-bit or 8-bit."},
        RuleCase{"FourBitWeightsEightBitOutput",
                 {{"weights_bits", 4}},
                 2,
                 2,
                 4,
                 8,
                 nullptr,
                 "With 4-bit weights, output must be 4-bit or 32-bit."},
        RuleCase{"InputShiftTooLarge",
                 {},
                 2,
                 2,
                 4,
                 8,
                 input_shift_of(2049),
                 "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."}),
    test::names_by([](const auto& c) { return c.name; }));

TEST(V2DenseChecks, InboundsAndInputMemory) {
  V2Model m;
  m.conv("a", {"in"});
  m.conv("b", {"a"});
  m.add("add", LayerType::Add, {}, {"b", "a"});
  const auto after_add = m.add("d", LayerType::Dense1D, {{"units", 4}}, {"add"});
  const auto d = v2test::v2_description();
  EXPECT_EQ(check_dense1d(d, *after_add, m["add"].get()).text,
            "Input dimensions are too large to fit in a FNP. The maximum value is 2048.");
  const auto after_conv = m.add("e", LayerType::Dense1D, {{"units", 4}}, {"b"});
  EXPECT_EQ(check_dense1d(d, *after_conv, m["b"].get()).text, kOk);
  auto small = d;
  small[HardwareDescription::fnp_input_words] = 10;  // 8 x 8 x 4 bytes need 64 words
  EXPECT_EQ(check_dense1d(small, *after_conv, m["b"].get()).text,
            "Input size exceeds memory. Maximum size is 40 bytes. (got 256 bytes).");
}

TEST(V2FnpSizes, NeuronAndWeightWords) {
  // Mode 1: the flat input's weights packed at their width.
  EXPECT_EQ(fnp_neuron_words(Shape{1, 1, 5}, 1, 8, 4), 2u + 1u);
  // Mode 2 with 4-bit inputs and odd x: every x-run ends on a byte.
  EXPECT_EQ(fnp_neuron_words(Shape{3, 2, 2}, 2, 4, 4), 2u + 2u);
  EXPECT_EQ(fnp_neuron_words(Shape{5, 2, 3}, 3, 8, 8), 2u + 12u);
  EXPECT_EQ(test::error_text<std::runtime_error>([] {
              fnp_neuron_words(Shape{1, 1, 1}, 0, 8, 8);
            }),
            "Unsupported padding.");
  V2Model m(1, 1, 1023);
  const auto dense = m.add("d", LayerType::Dense1D, {{"units", 16}}, {"in"});
  // A flat input of 1023 bytes: 256 weight words and 2 parameter words per neuron.
  EXPECT_EQ(fnp_weight_words(*dense), 16u * (2 + 256));
}

// ---- InputConv2D ----------------------------------------------------------------------------

class V2HrcRule : public testing::TestWithParam<RuleCase> {};

TEST_P(V2HrcRule, ExactMessage) {
  const auto& c = GetParam();
  V2Model m;
  Params p = c.params;
  for (const auto& [k, v] : Params{{"input_width", static_cast<int>(c.x)},
                                   {"input_height", static_cast<int>(c.y)},
                                   {"input_channels", static_cast<int>(c.c)},
                                   {"kernel_size", 3},
                                   {"filters", 4}})
    p.emplace(k, v);
  const auto hrc = m.add("h", LayerType::InputConv2D, p, {});
  hrc->variables().get("weights")->mutable_data<int8_t>()[5] = 1;
  if (c.tweak) c.tweak(*hrc);
  EXPECT_EQ(check_input_conv2d(*hrc).text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    InputConv2D, V2HrcRule,
    testing::Values(
        RuleCase{"Valid", {}, 16, 16, 3, 8, nullptr, kOk},
        RuleCase{"Kernel2",
                 {{"kernel_size", 2}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. 2 given."},
        RuleCase{"Kernel4Stride4",
                 {{"kernel_size", 4}, {"kernel_stride", 4}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 kOk},
        RuleCase{"Kernel7Stride7",
                 {{"kernel_size", 7}, {"kernel_stride", 7}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "For a kernel size 7, the kernel stride must be smaller than 6."},
        RuleCase{"MaxPool3Stride2",
                 {{"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 kOk},
        RuleCase{"MaxPool3Stride3",
                 {{"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 3}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "Unsupported max-pooling size, max-pooling stride combinaison. The only supported "
                 "combinaison of (Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received (3, 3)."},
        RuleCase{"Width4",
                 {},
                 4,
                 10,
                 3,
                 8,
                 nullptr,
                 "Unsupported input size. Received: 4 as first dimension.\n The first dimension "
                 "should be >= 5."},
        RuleCase{
            "Height385",
            {},
            5,
            385,
            3,
            8,
            nullptr,
            "Unsupported input size. Received: 385 as second dimension.\n The second dimension "
            "should be between 5 and 384."},
        RuleCase{
            "NoActivation",
            {{"activation", 0}, {"output_bits", 16}},
            16,
            16,
            3,
            8,
            nullptr,
            "The first convolutional layer of a model can only be mapped if its activations are "
            "enabled."},
        RuleCase{"SixteenBitOutput",
                 {{"output_bits", 16}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "Output should be 4-bit or 8-bit. 16 given."},
        RuleCase{"LutWith4BitOutput",
                 {{"activation", 2}, {"output_bits", 4}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "4-bit activation is not supported with LUT."},
        RuleCase{"LutWithAveragePooling",
                 {{"activation", 2}, {"pool_type", 2}, {"pool_size", -1}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "Max pooling is not supported with activation LUT."},
        RuleCase{"Filters512", {{"filters", 512}}, 16, 16, 3, 8, nullptr, kOk},
        RuleCase{"Filters513",
                 {{"filters", 513}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "The filters number should be set between 1 and 512. 513 given."},
        RuleCase{"ZeroWeights",
                 {},
                 16,
                 16,
                 3,
                 8,
                 [](Layer& l) { l.variables().get("weights")->mutable_data<int8_t>()[5] = 0; },
                 "All weights cannot be zeroes."},
        RuleCase{"FourBitWeights",
                 {{"weights_bits", 4}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "Only 8-bit weigths are supported."},
        // Kernel 4 with SameUpper builds only where its windows meet the outputs (stride 4
        // over 16), so the stride rule fails beside it.
        RuleCase{"SameUpperKernel4",
                 {{"padding", 2}, {"kernel_size", 4}, {"kernel_stride", 4}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "With SameUpper padding only kernels 3, 5, 7 are supported. With SameUpper "
                 "padding only stride 2 is supported."},
        // Stride 1 with SameUpper builds on odd sizes only.
        RuleCase{"SameUpperStride1",
                 {{"padding", 2}},
                 15,
                 15,
                 3,
                 8,
                 nullptr,
                 "With SameUpper padding only stride 2 is supported."},
        RuleCase{"SameUpper4BitOutput",
                 {{"padding", 2}, {"kernel_stride", 2}, {"output_bits", 4}},
                 16,
                 16,
                 3,
                 8,
                 nullptr,
                 "With SameUpper padding only 8-bit activations are supported."}),
    test::names_by([](const auto& c) { return c.name; }));

// ---- BufferTempConv and DepthwiseBufferTempConv ---------------------------------------------

class V2TnpRule : public testing::TestWithParam<RuleCase> {};

TEST_P(V2TnpRule, ExactMessage) {
  const auto& c = GetParam();
  V2Model m(c.x, c.y, c.c, c.input_bits);
  Params p = c.params;
  p.emplace("fifo_size", 2);
  const bool depthwise = p.erase("depthwise") > 0;
  if (!depthwise) p.emplace("filters", 4);
  const auto layer = m.add(
      "t", depthwise ? LayerType::DepthwiseBufferTempConv : LayerType::BufferTempConv, p, {"in"});
  if (c.tweak) c.tweak(*layer);
  const auto d = v2test::v2_description();
  const auto status =
      depthwise ? check_depthwise_buffer_temp_conv(d, *layer) : check_buffer_temp_conv(d, *layer);
  EXPECT_EQ(status.text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Temporal, V2TnpRule,
    testing::Values(
        RuleCase{"Valid", {}, 8, 8, 4, 8, nullptr, kOk},
        RuleCase{"FourBitInput",
                 {{"weights_bits", 4}},
                 8,
                 8,
                 4,
                 4,
                 nullptr,
                 "Input should be 8-bit. Only 8-bit weights are supported."},
        RuleCase{
            "FourBitOutput", {{"output_bits", 4}}, 8, 8, 4, 8, nullptr, "Output should be 8-bit."},
        RuleCase{"WidthAtLimit", {}, 4096, 1, 1, 8, nullptr, kOk},
        RuleCase{
            "TooWide", {}, 4097, 1, 1, 8, nullptr, "The maximum input width is 4096 (got 4097)."},
        RuleCase{
            "TooHigh", {}, 1, 4097, 1, 8, nullptr, "The maximum input height is 4096 (got 4097)."},
        RuleCase{"TooManyChannels",
                 {},
                 1,
                 1,
                 2049,
                 8,
                 nullptr,
                 "The maximum input channel value is 2048 (got 2049). Input shift exceeds memory. "
                 "Maximum size is 768 bytes. (got 771 bytes)."},
        RuleCase{"TooManyFilters",
                 {{"filters", 2049}},
                 8,
                 8,
                 4,
                 8,
                 nullptr,
                 "The maximum number of filters is 2048 (got 2049)."},
        RuleCase{
            "DepthwiseChannelsAsFilters",
            {{"depthwise", 1}},
            1,
            1,
            2049,
            8,
            nullptr,
            "The maximum input channel value is 2048 (got 2049). The maximum number of filters "
            "is 2048 (got 2049). Input shift exceeds memory. Maximum size is 768 bytes. (got "
            "771 bytes)."},
        RuleCase{"WideSkipDmaRow",
                 {{"weights_bits", 4}},
                 1,
                 1,
                 2048,
                 16,
                 nullptr,
                 "Input should be 8-bit. Only 8-bit weights are supported. The skip DMA horizontal "
                 "dimension must be smaller than 1024 (got 1024)."},
        RuleCase{"InputShiftTooLarge",
                 {},
                 8,
                 8,
                 4,
                 8,
                 input_shift_of(2049),
                 "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."}),
    test::names_by([](const auto& c) { return c.name; }));

TEST(V2TnpBSizes, ContainersAndFrames) {
  EXPECT_EQ(tnp_b_ch_cont_size(1), 2u);
  EXPECT_EQ(tnp_b_ch_cont_size(24), 2u);
  EXPECT_EQ(tnp_b_ch_cont_size(25), 4u);
  EXPECT_EQ(tnp_b_weight_size(2, 10, 16), 96u);
  EXPECT_EQ(tnp_b_frame_words(4, 4, 3, 8), 64u);  // 16 words rounded up to 64
  EXPECT_EQ(depthwise_tnp_b_weight_words(14, 364), 16380u);
  EXPECT_EQ(depthwise_tnp_b_weight_words(14, 365), 16432u);  // 16425 rounded for a long block
}

}  // namespace
}  // namespace morla::v2

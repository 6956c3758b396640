// The v1 HRC check: each of its rules broken alone by the smallest layer, and merged
// failures.
#include <gtest/gtest.h>

#include "backend/v1/hrc_checks.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;

const Entries kHrc = {{"input_width", 8},  {"input_height", 8},  {"input_channels", 1},
                      {"kernel_width", 3}, {"kernel_height", 3}, {"stride_x", 1},
                      {"stride_y", 1},     {"padding", 1},       {"pool_type", 0},
                      {"filters", 8},      {"activation", 1},    {"act_bits", 1}};
const Entries kMaxPool = {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}};

struct HrcCase {
  std::string label;
  Entries changes;
  std::string message;  // empty: the layer passes
  Entries overrides = {};
};

std::string Name(const testing::TestParamInfo<HrcCase>& info) { return info.param.label; }

std::shared_ptr<Layer> make_hrc(const Entries& changes) {
  auto layer = make_layer(LayerType::InputConvolutional, with(kHrc, changes), "hrc");
  fill<int8_t>(*layer, "weights", 1);
  return layer;
}

class HrcRule : public testing::TestWithParam<HrcCase> {};

TEST_P(HrcRule, SmallestLayerBreakingItGivesItsMessage) {
  const HrcCase& c = GetParam();
  auto layer = make_hrc(c.changes);
  if (!c.overrides.empty()) layer = overridden<InputConvolutional>(layer, c.overrides);
  const MappingStatus status = check_input_convolutional(*layer);
  if (c.message.empty()) {
    EXPECT_TRUE(status.ok()) << status.message();
  } else {
    EXPECT_EQ(status.text, c.message);
    EXPECT_EQ(status.message(), "Cannot map layer 'hrc'. " + c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HrcRule,
    testing::Values(
        HrcCase{"Valid", {}, ""},
        HrcCase{"KernelNotSymmetric", {{"kernel_height", 5}}, "Kernel size should be symmetric."},
        HrcCase{"Kernel4",
                {{"kernel_width", 4}, {"kernel_height", 4}},
                "Kernel size should be 3, 5 or 7."},
        HrcCase{"ActBits3", {{"act_bits", 3}}, "The parameter act_bits should be 1, 2 or 4."},
        HrcCase{
            "TwoChannels", {{"input_channels", 2}}, "The parameter input_channels must be 1 or 3."},
        HrcCase{"StrideX4", {{"stride_x", 4}}, "The parameter stride_x should be 1, 2 or 3."},
        HrcCase{"StrideY4", {{"stride_y", 4}}, "The parameter stride_y should be 1, 2 or 3."},
        HrcCase{"RgbFiltersAtLimit", {{"input_channels", 3}, {"filters", 192}}, ""},
        HrcCase{"RgbFilters",
                {{"input_channels", 3}, {"filters", 193}},
                "The parameter num_neurons should be set between 1 and 192."},
        HrcCase{"TwoChannelsTakeTheSingleChannelLimit",
                {{"input_channels", 2}, {"filters", 512}},
                "The parameter input_channels must be 1 or 3."},
        HrcCase{"Kernel7Filters",
                {{"kernel_width", 7}, {"kernel_height", 7}, {"filters", 97}},
                "The parameter num_neurons should be set between 1 and 96."},
        HrcCase{"NoFilters",
                {},
                "The parameter num_neurons should be set between 1 and 512.",
                {{"filters", 0}}},
        HrcCase{
            "SameHeight5", {{"input_height", 5}, {"kernel_width", 7}, {"kernel_height", 7}}, ""},
        HrcCase{"SameHeight4",
                {{"input_height", 4}},
                "Input second dimension size cannot be smaller than 5."},
        HrcCase{"ValidHeight",
                {{"padding", 0}, {"kernel_width", 7}, {"kernel_height", 7}, {"stride_y", 3}},
                "With valid padding, a 7 kernel size and a 3 kernel stride, input  second "
                "dimension size cannot be "
                "smaller than 10."},
        HrcCase{"ValidSmallKernel", {{"padding", 0}, {"input_height", 5}}, ""},
        HrcCase{
            "Width4", {{"input_width", 4}}, "Input first dimension size cannot be smaller than 5."},
        HrcCase{"WidthBelowKernel",
                {{"input_width", 6}, {"kernel_width", 7}, {"kernel_height", 7}},
                "Input first dimension size cannot be smaller than kernel size."},
        HrcCase{"Height257",
                {{"input_height", 257}},
                "The maximum input second dimension size is 256 (got 257)."},
        HrcCase{"Average",
                {{"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}},
                "The parameter pool_type cannot be Average."},
        HrcCase{"MaxPool", kMaxPool, ""},
        HrcCase{"PoolY3",
                with(kMaxPool,
                     {{"pooling_height", 3}, {"pooling_stride_x", 2}, {"pooling_stride_y", 3}}),
                "The parameter pooling_y should be 1 or 2."},
        HrcCase{"PoolX3",
                with(kMaxPool,
                     {{"pooling_width", 3}, {"pooling_stride_x", 3}, {"pooling_stride_y", 2}}),
                "The parameter pooling_x should be 1 or 2."},
        HrcCase{"PoolStride1", with(kMaxPool, {{"pooling_stride_x", 1}, {"pooling_stride_y", 1}}),
                "The parameter pool_size and pool_stride should be equal."},
        HrcCase{"PoolOutputOneRow",
                with(kMaxPool, {{"input_height", 5}, {"stride_x", 3}, {"stride_y", 3}}),
                "With max pooling, output second dimension size must be at least 2."},
        HrcCase{"NoActivation",
                {{"activation", 0}, {"act_bits", 3}},
                "The first convolutional layer of a model can only be mapped if its activations "
                "are enabled."}),
    Name);

TEST(HrcRules, AllZeroWeightsFail) {
  const auto layer = make_layer(LayerType::InputConvolutional, kHrc, "hrc");
  EXPECT_EQ(check_input_convolutional(*layer).text, "All weights in a hrc layer cannot be zeroes.");
}

TEST(HrcRules, ActivationStepMustFit24BitsInSixteenths) {
  const auto layer = make_hrc({});
  const auto steps = layer->variables().get("act_step");
  for (const auto& [step, message] : std::vector<std::pair<float, std::string>>{
           {1048575.9375f, ""},
           {1048576.0f,
            "The parameter act_step should be between 0 and 1048575. Receives act_step 1048576."},
           {-1.0f,
            "The parameter act_step should be between 0 and 1048575. Receives act_step -1."}}) {
    fill<float>(*layer, "act_step", 1.0f);
    steps->mutable_data<float>()[3] = step;
    const MappingStatus status = check_input_convolutional(*layer);
    if (message.empty())
      EXPECT_TRUE(status.ok()) << status.message();
    else
      EXPECT_EQ(status.text, message);
  }
}

TEST(HrcRules, ActivationStepIsCheckedOnlyWhenEverythingElseHolds) {
  const auto layer = make_hrc({{"stride_x", 4}});
  fill<float>(*layer, "act_step", -1.0f);
  EXPECT_EQ(check_input_convolutional(*layer).text, "The parameter stride_x should be 1, 2 or 3.");
}

TEST(HrcRules, FailuresMergeInRuleOrder) {
  EXPECT_EQ(check_input_convolutional(
                *make_hrc({{"kernel_width", 5}, {"kernel_height", 5}, {"input_width", 4}}))
                .text,
            "Input first dimension size cannot be smaller than 5. "
            "Input first dimension size cannot be smaller than kernel size.");
  EXPECT_EQ(
      check_input_convolutional(
          *make_hrc({{"kernel_height", 4}, {"input_height", 4}, {"activation", 0}}))
          .text,
      "Kernel size should be symmetric. Input second dimension size cannot be smaller than 5. "
      "The first convolutional layer of a model can only be mapped if its activations are "
      "enabled.");
}

}  // namespace
}  // namespace morla::v1

// The v1 FullyConnected check: each rule broken alone, merged failures, the weight-range and
// weights-per-neuron rules, and the 64-bit input size.
#include <gtest/gtest.h>

#include "backend/v1/compatibility_checker.h"
#include "backend/v1/fnp_checks.h"
#include "backend/v1/fnp_sizes.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;

const Entries kFc = {{"units", 10}, {"weights_bits", 1}, {"activation", 1}, {"act_bits", 1}};

// Hardware versions as the cases name them.
enum Hw { kV1, kOrbiV2 };
uint32_t word(Hw hw) { return hw == kOrbiV2 ? orbi_v2_word() : v1_word(); }

struct FcCase {
  std::string label;
  Entries changes;
  Shape input;  // width, height, channels
  int input_bits;
  Hw hw;
  std::string message;  // empty: the layer passes
};

std::string Name(const testing::TestParamInfo<FcCase>& info) { return info.param.label; }

class FcRule : public testing::TestWithParam<FcCase> {};

TEST_P(FcRule, SmallestLayerBreakingItGivesItsMessage) {
  const FcCase& c = GetParam();
  // Built on a small input, seen with the case's input: the engine refuses inputs of more
  // than 65535 channels.
  const Built b =
      after_input(LayerType::FullyConnected, with(kFc, c.changes), 4, 4, 8, c.input_bits);
  const auto layer = overridden<FullyConnected>(b.layer, {}, c.input);
  const MappingStatus status = check_fully_connected(description(), *layer, word(c.hw));
  if (c.message.empty()) {
    EXPECT_TRUE(status.ok()) << status.message();
  } else {
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.text, c.message);
    EXPECT_EQ(status.message(), "Cannot map layer 'layer'. " + c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FcRule,
    testing::Values(
        FcCase{"Valid", {}, Shape{4, 4, 8}, 4, kV1, ""},
        FcCase{"InputBits3", {}, Shape{4, 4, 8}, 3, kV1, "Input bitwidth should be 1, 2 or 4."},
        FcCase{"ProductAtLimit", {}, Shape{1, 1, 81920}, 1, kV1, ""},
        FcCase{"ProductAboveLimit",
               {},
               Shape{1, 1, 81921},
               1,
               kV1,
               "Input dimensions are too large to fit in a FNP. The maximum value is 81920."},
        FcCase{"OrbiV2ProductAtLimit", {}, Shape{1, 1, 57334}, 1, kOrbiV2, ""},
        FcCase{"OrbiV2ProductAboveLimit",
               {},
               Shape{1, 1, 57335},
               1,
               kOrbiV2,
               "Input dimensions are too large to fit in a FNP. The maximum value is 57334."},
        FcCase{
            "Width", {}, Shape{4097, 1, 1}, 1, kV1, "The maximum input width is 4096 (got 4097)."},
        FcCase{"Height",
               {},
               Shape{1, 4097, 1},
               1,
               kV1,
               "The maximum input height is 4096 (got 4097)."},
        FcCase{"Channels",
               {},
               Shape{2, 1, 2049},
               1,
               kV1,
               "The maximum input channel value is 2048 (got 2049)."},
        FcCase{"WeightBits5",
               {{"weights_bits", 5}},
               Shape{4, 4, 8},
               4,
               kV1,
               "Weight bits should be between 1 and 4 inclusive."},
        FcCase{
            "ActBits3", {{"act_bits", 3}}, Shape{4, 4, 8}, 4, kV1, "act_bits should be 1, 2 or 4."},
        FcCase{"ActBitsUnreadWithoutActivation",
               {{"act_bits", 3}, {"activation", 0}},
               Shape{4, 4, 8},
               4,
               kV1,
               ""}),
    Name);

TEST(FcRules, FailuresOfOneLayerMergeIntoOneMessage) {
  const Built b = after_input(LayerType::FullyConnected,
                              with(kFc, {{"weights_bits", 5}, {"act_bits", 3}}), 4, 4, 8, 3);
  const MappingStatus status = check_fully_connected(description(), *b.layer, v1_word());
  EXPECT_EQ(status.text,
            "Input bitwidth should be 1, 2 or 4. Weight bits should be between 1 and 4 inclusive. "
            "act_bits should be 1, 2 or 4.");
}

TEST(FcRules, ProductFailureSkipsTheDimensionLimits) {
  // 4097 x 4097 x 2049 breaks every dimension limit, but the product rule fails first.
  const Built b = after_input(LayerType::FullyConnected, kFc, 5, 5, 5, 1);
  const auto layer = overridden<FullyConnected>(b.layer, {}, Shape{4097, 4097, 2049});
  EXPECT_EQ(check_fully_connected(description(), *layer, v1_word()).text,
            "Input dimensions are too large to fit in a FNP. The maximum value is 81920.");
}

TEST(FcRules, InputMemoryRuleNamesCapacityAndSizeInBytes) {
  const Built b = after_input(LayerType::FullyConnected, kFc, 4, 4, 64, 1);
  EXPECT_EQ(check_fully_connected(description(64), *b.layer, v1_word()).text,
            "Input size exceeds memory. Maximum size is 64 bytes. (got 128 bytes).");
}

TEST(FcRules, WeightBitsBelowOneFailLikeAboveFour) {
  const Built b = after_input(LayerType::FullyConnected, kFc, 4, 4, 8, 4);
  for (int bits : {0, -3}) {
    const auto layer = overridden<FullyConnected>(b.layer, {{"weights_bits", bits}});
    EXPECT_EQ(check_fully_connected(description(), *layer, v1_word()).text,
              "Weight bits should be between 1 and 4 inclusive.");
    EXPECT_THROW(fnp_weight_words(*layer), std::invalid_argument);
  }
}

TEST(FcRules, InputSizeIsCountedIn64Bits) {
  // 4096 x 4096 x 256 values are 2^32: zero in 32-bit arithmetic.
  const Built b = after_input(LayerType::FullyConnected, kFc, 4, 4, 8, 1);
  const auto layer = overridden<FullyConnected>(b.layer, {}, Shape{4096, 4096, 256});
  EXPECT_EQ(fnp_input_words(*layer), uint64_t{1} << 27);
  EXPECT_EQ(check_fully_connected(description(), *layer, v1_word()).text,
            "Input dimensions are too large to fit in a FNP. The maximum value is 81920.");
}

TEST(FcSizes, InputWordsCountOneBitPerValue) {
  EXPECT_EQ(fnp_input_words(*after_input(LayerType::FullyConnected, kFc, 1, 1, 32).layer), 1u);
  EXPECT_EQ(fnp_input_words(*after_input(LayerType::FullyConnected, kFc, 1, 1, 33).layer), 2u);
}

TEST(FcSizes, WeightWordsPerNeuronByWidth) {
  // 40 inputs: two groups of 32.
  EXPECT_EQ(fnp_weight_words_unaligned(3, 40, 1), 3u * (2 + 4));
  EXPECT_EQ(fnp_weight_words_unaligned(3, 40, 2), 3u * (2 * 2 + 4));
  EXPECT_EQ(fnp_weight_words_unaligned(3, 40, 4), 3u * (6 * 2 + 4));
}

TEST(FcSizes, LongImagesRoundUpToSixteenWords) {
  // 1-bit neurons take groups + 4 words: 2 x 8191 = 16382 and 3 x 5461 = 16383 words.
  const auto words = [](int units, uint32_t channels) {
    const Built b =
        after_input(LayerType::FullyConnected, with(kFc, {{"units", units}}), 96, 1, channels, 1);
    return fnp_weight_words(*b.layer);
  };
  EXPECT_EQ(words(2, 2729), 16382u);  // 96 x 2729 inputs: 8187 groups
  EXPECT_EQ(words(3, 1819), 16384u);  // 96 x 1819 inputs: 5457 groups
}

class FcWeightRange : public testing::TestWithParam<std::tuple<int, int8_t, bool>> {};

TEST_P(FcWeightRange, OutOfRangeWeightNamesRangeAndValue) {
  const auto [bits, value, passes] = GetParam();
  const Built b =
      after_input(LayerType::FullyConnected, with(kFc, {{"weights_bits", bits}}), 4, 4, 8);
  poke(*b.layer, "weights", {0, value});
  const MappingStatus status = check_fnp_weight_range(*b.layer);
  const int limit = bits == 1 ? 2 : 1 << (bits - 1);
  if (passes) {
    EXPECT_TRUE(status.ok()) << status.message();
  } else {
    EXPECT_EQ(status.text, "Weights contain values out of range (" + std::to_string(1 - limit) +
                               ", " + std::to_string(limit - 1) +
                               ") (e.g.: " + std::to_string(value) + ").");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, FcWeightRange,
    testing::Values(std::make_tuple(4, int8_t{8}, false), std::make_tuple(4, int8_t{-7}, true),
                    std::make_tuple(4, int8_t{-8}, false), std::make_tuple(1, int8_t{-1}, true),
                    std::make_tuple(1, int8_t{1}, true), std::make_tuple(1, int8_t{2}, false),
                    std::make_tuple(2, int8_t{2}, false)));

TEST(FcWeightsPerNeuron, EveryRowMustHoldNumWeightsConnections) {
  const Built b = after_input(LayerType::FullyConnected, with(kFc, {{"units", 2}}), 1, 1, 4, 1);
  b.model->compile(
      LearningParams::create(LearningType::MorlaUnsupervised, {{"num_weights", 2},
                                                               {"num_classes", 1},
                                                               {"initial_plasticity", 1},
                                                               {"learning_competition", 0.5},
                                                               {"min_plasticity", 0.1},
                                                               {"plasticity_decay", 0.2}}));
  // Layout 1: input k of neuron f is byte k * 2 + f. Neuron 0 gets 2 connections, neuron 1 three.
  poke(*b.layer, "weights", {1, 1, 1, 1, 0, 1, 0, 0});
  EXPECT_EQ(
      check_fnp_weights_per_neuron(*b.layer).text,
      "The number of weights per neuron should match the num_weights MorlaUnsupervised parameter.");
  poke(*b.layer, "weights", {1, 1, 1, 1, 0, 0, 0, 0});
  EXPECT_TRUE(check_fnp_weights_per_neuron(*b.layer).ok());
}

TEST(FcWeightsPerNeuron, UncompiledLayersAreNotAsked) {
  const Built b = after_input(LayerType::FullyConnected, kFc, 1, 1, 4, 1);
  poke(*b.layer, "weights", {1, 0, 1});
  EXPECT_TRUE(check_fnp_weights_per_neuron(*b.layer).ok());
}

}  // namespace
}  // namespace morla::v1

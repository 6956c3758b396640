// The StatefulRecurrent chain rules: each rule broken alone by the smallest model that
// breaks it, the walk over the chain, and the memory rules.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "backend/mote/stateful_checks.h"
#include "backend/mote/tnpr_memory.h"
#include "mote_test_support.h"

namespace morla {
namespace {

using mote_test::Chain;
using mote_test::Entries;
using mote_test::fill_values;
using mote_test::replace_variable;
using mote_test::roomy_description;
using mote_test::set_value;

// A chain that passes every rule: 8 timesteps of 32 8-bit channels, two layers of 16
// states, the last with one output channel, and a post-processing tail.
Chain passing_chain(const Entries& first = {}, const Entries& second = {}) {
  Chain chain(8, 32);
  chain.recurrent("sr1", 16, 8, first).recurrent("sr2", 16, 1, second).post_processing();
  return chain;
}

struct RuleCase {
  std::string label;
  // Builds the model and answers the start of the chain.
  std::function<std::shared_ptr<Layer>(Chain&)> build;
  std::function<Chain()> make = [] { return passing_chain(); };
  std::string layer;
  std::string text;
};

class BrokenRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(BrokenRule, FailsWithItsMessageAlone) {
  const RuleCase& c = GetParam();
  Chain chain = c.make();
  const auto start = c.build(chain);
  const MappingStatus status = mote::check_stateful_model(roomy_description(), start);
  EXPECT_EQ(status.kind, 1);
  EXPECT_EQ(status.text, c.text);
  EXPECT_EQ(status.layer_name, c.layer);
}

std::shared_ptr<Layer> start_of(Chain& chain) { return chain["sr1"]; }

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

Chain single_layer(uint32_t channels, int bits, Entries entries = {}) {
  Chain chain(8, channels, bits);
  chain.recurrent("sr1", 16, 8, entries).dequantizer();
  return chain;
}

// Makers of one-layer chains over 32 8-bit input channels.
std::function<Chain()> dequantized(int states, int outputs) {
  return [=] {
    Chain chain(8, 32);
    chain.recurrent("sr1", states, outputs).dequantizer();
    return chain;
  };
}

std::function<Chain()> post_processed(int outputs, uint32_t timesteps) {
  return [=] {
    Chain chain(timesteps, 32);
    chain.recurrent("sr1", 16, outputs).post_processing();
    return chain;
  };
}

INSTANTIATE_TEST_SUITE_P(
    Mote, BrokenRule,
    ::testing::Values(
        RuleCase{"NewStateShiftWidth",
                 [](Chain& c) {
                   set_value<int8_t>(*c["sr2"], "new_state_shift", 3, 40);
                   return start_of(c);
                 },
                 [] { return passing_chain(); }, "sr2",
                 "The variable new_state_shift should only contain signed values that use no "
                 "more than 6-bit, 7 detected."},
        RuleCase{"NewStateScaleWidth",
                 [](Chain& c) {
                   replace_variable(*c["sr1"], "new_state_scale", TensorType::uint16, Shape{16})
                       ->set<uint16_t>(0, 300);
                   return start_of(c);
                 },
                 [] { return passing_chain(); }, "sr1",
                 "The variable new_state_scale should only contain unsigned values that use no "
                 "more than 8-bit, 9 detected."},
        RuleCase{"InternalStateOutputsShiftWidth",
                 [](Chain& c) {
                   set_value<int8_t>(*c["sr1"], "internal_state_outputs_shift", 0, -17);
                   return start_of(c);
                 },
                 [] { return passing_chain(); }, "sr1",
                 "The variable internal_state_outputs_shift should only contain signed values "
                 "that use no more than 5-bit, 6 detected."},
        RuleCase{"PackedRowNotAPowerOfTwo", start_of, [] { return single_layer(24, 8); }, "sr1",
                 "The packed input row (channels x input bits) must occupy a power-of-2 number "
                 "of 32-bit words (got 6 words for 24 channels at 8-bit)."},
        RuleCase{"RowSizeAndChannelsOfSixteenBitInput", start_of,
                 [] { return single_layer(1024, 16); }, "sr1",
                 "The maximum input row size (input_channels * input_bits, padded to a power-of-2 "
                 "number of 32-bit words) is 512 bytes (got 2048). The maximum input channels "
                 "for 16-bit input is 128 (got 1024)."},
        RuleCase{"ChannelsOfEightBitInput", start_of, [] { return single_layer(512, 8); }, "sr1",
                 "The maximum input channels for 8-bit input is 256 (got 512)."},
        RuleCase{"ReluMaxValue",
                 [](Chain& c) {
                   set_value<uint8_t>(*c["sr1"], "max_value", 2, 100);
                   set_value<uint8_t>(*c["sr1"], "max_value", 3, 101);
                   return start_of(c);
                 },
                 [] {
                   return passing_chain({{"activation", 1}});
                 },
                 "sr1",
                 "When activation is ReLU, all max_value elements must be 127 (got 100 at index "
                 "2)."},
        RuleCase{"ReluMaxValueShift",
                 [](Chain& c) {
                   set_value<uint8_t>(*c["sr1"], "max_value_shift", 0, 30);
                   return start_of(c);
                 },
                 [] {
                   return passing_chain({{"activation", 1}});
                 },
                 "sr1",
                 "When activation is ReLU, all max_value_shift elements must be 31 (got 30 at "
                 "index 0)."},
        RuleCase{"FirstLayerInputBits", start_of, [] { return single_layer(64, 4); }, "sr1",
                 "For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( "
                 "4)."},
        RuleCase{"IntermediateLayerInputBits", start_of,
                 [] {
                   return passing_chain({{"output_bits", 16}});
                 },
                 "sr2", "For intermediate StatefulRecurrent layer, input must be 8-bit. got( 16)."},
        RuleCase{"StateChannelsLimit", start_of, dequantized(512, 8), "sr1",
                 "State channels exceeds max limit of 256 for TNP-R."},
        RuleCase{"StateChannelsPowerOfTwo", start_of, dequantized(48, 8), "sr1",
                 "State channels must be a power of 2. (got 48)."},
        RuleCase{"StateChannelsEqual", start_of,
                 [] {
                   Chain c(8, 32);
                   c.recurrent("sr1", 64, 8).recurrent("sr2", 32, 1).post_processing();
                   return c;
                 },
                 "sr2",
                 "State channels must be the same for all stateful layers. Expected 64(got 32)."},
        RuleCase{"OutputChannels", start_of, dequantized(16, 300), "sr1",
                 "Output channels exceeds max limit of 256 for TNP-R."},
        RuleCase{"Subsample", start_of,
                 [] {
                   return single_layer(32, 8, {{"subsample", 5}});
                 },
                 "sr1", "Subsample ratio exceeds max limit of 4 for TNP-R. (got 5)."},
        RuleCase{"LastLayerOutputBits", start_of,
                 [] {
                   return single_layer(32, 8, {{"output_bits", 16}});
                 },
                 "sr1",
                 "For the last StatefulRecurrent layer, outputs must be 8-bit, 28-bit or 32-bit. "
                 "(got 16)."},
        RuleCase{"TailType", start_of,
                 [] {
                   Chain c(8, 32);
                   c.recurrent("sr1", 16, 1).add(LayerType::Dense1D, {{"units", 4}}, "dense");
                   return c;
                 },
                 "dense",
                 "Only a Dequantizer or a MotePostProcessing is allowed a the end of a serie of "
                 "StatefulRecurrent layers."},
        RuleCase{"TailChannels", start_of, post_processed(2, 8), "post",
                 "MotePostProcessing layer input must have a single channel (got 2)."},
        RuleCase{"TailTooFewTimesteps", start_of, post_processed(1, 2), "post",
                 "Timesteps dimension must be at least 3 (got 2)."},
        RuleCase{"TailTooManyTimesteps", start_of, post_processed(1, 129), "post",
                 "Timesteps dimension must be at most 128 (got 129)."},
        RuleCase{"FeedingOutputScale",
                 [](Chain& c) {
                   set_value<uint8_t>(*c["sr2"], "output_scales", 0, 2);
                   return start_of(c);
                 },
                 [] { return passing_chain(); }, "sr2",
                 "Output scales must be 1 for the last StatefulRecurrent layer before a "
                 "MotePostProcessing layer (got 2)."},
        RuleCase{"FeedingOutputShift",
                 [](Chain& c) {
                   set_value<int8_t>(*c["sr2"], "output_shift", 0, -1);
                   return start_of(c);
                 },
                 [] { return passing_chain(); }, "sr2",
                 "Output shift must be 0 for the last StatefulRecurrent layer before a "
                 "MotePostProcessing layer (got -1)."},
        RuleCase{"TailNotLast", start_of,
                 [] {
                   Chain c = passing_chain();
                   c.dequantizer();
                   return c;
                 },
                 "post", "Dequantizer/MotePostProcessing must be the last layer."}),
    [](const auto& info) { return info.param.label; });

TEST(MoteChecks, PassingChainSucceedsFromEveryRecurrentLayer) {
  Chain chain = passing_chain();
  EXPECT_TRUE(mote::check_stateful_model(roomy_description(), chain["sr1"]).ok());
  EXPECT_TRUE(mote::check_stateful_model(roomy_description(), chain["sr2"]).ok());
}

// Nine layers on the TNP-R are one too many, whatever each layer says of itself.
TEST(MoteChecks, AtMostEightRecurrentLayers) {
  for (int layers : {8, 9}) {
    Chain chain(8, 32);
    for (int i = 1; i <= layers; ++i) chain.recurrent("sr" + std::to_string(i), 16, 8);
    chain.dequantizer();
    const MappingStatus status = mote::check_stateful_model(roomy_description(), chain["sr1"]);
    if (layers == 8) {
      EXPECT_TRUE(status.ok()) << status.message();
    } else {
      EXPECT_EQ(status.text, "A model cannot have more that 8 StatefulRecurrent layers.");
      EXPECT_EQ(status.layer_name, "");
    }
  }
}

TEST(MoteChecks, FailingLayerEndsTheWalk) {
  Chain chain = passing_chain({{"subsample", 5}}, {{"subsample", 6}});
  const MappingStatus status = mote::check_stateful_model(roomy_description(), chain["sr1"]);
  EXPECT_EQ(status.text, "Subsample ratio exceeds max limit of 4 for TNP-R. (got 5).");
}

TEST(MoteChecks, RulesOfOneLayerGatherInOrder) {
  Chain chain(8, 32);
  chain.recurrent("sr1", 0 + 512, 8).recurrent("sr2", 48, 1).post_processing();
  // The walk stops after the first layer; its own two rules both report.
  EXPECT_EQ(mote::check_stateful_model(roomy_description(), chain["sr1"]).text,
            "State channels exceeds max limit of 256 for TNP-R.");
  const MappingStatus second = mote::check_stateful_recurrent(chain["sr2"], 512);
  EXPECT_EQ(second.text,
            "State channels must be a power of 2. (got 48). State channels must be the same for "
            "all stateful layers. Expected 512(got 48).");
}

TEST(MoteChecks, TailWithTwoStepsAndThreeChannelsReportsBothInOrder) {
  Chain chain(2, 32);
  chain.recurrent("sr1", 16, 3).post_processing();
  EXPECT_EQ(mote::check_stateful_tail(chain["post"]).text,
            "MotePostProcessing layer input must have a single channel (got 3). Timesteps "
            "dimension must be at least 3 (got 2).");
}

TEST(MoteChecks, DequantizerTailPasses) {
  Chain chain(8, 32);
  chain.recurrent("sr1", 16, 8).dequantizer();
  EXPECT_TRUE(mote::check_stateful_tail(chain["dequantizer"]).ok());
}

// A post-processing layer that no StatefulRecurrent layer feeds has nothing to read its
// output scale from.
TEST(MoteChecks, TailWithoutFeedingLayerFails) {
  Chain chain(8, 1);
  chain.post_processing();
  const MappingStatus status = mote::check_stateful_tail(chain["post"]);
  EXPECT_EQ(status.text, "MotePostProcessing layer has no feeding StatefulRecurrent layer.");
  EXPECT_EQ(status.layer_name, "post");
}

// ---- Memory rules ----------------------------------------------------------------------------

struct MemoryCase {
  std::string memory;
  HardwareDescription::Word limit;
  uint32_t (*size)(const std::shared_ptr<Layer>&);
  std::string word_bits;
};

class MemoryLimit : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(MemoryLimit, SizeAboveTheLimitFailsOnTheStartLayer) {
  const MemoryCase& c = GetParam();
  Chain chain = passing_chain();
  const uint32_t size = c.size(chain["sr1"]);
  HardwareDescription description = roomy_description();
  description[c.limit] = size;
  EXPECT_TRUE(mote::check_stateful_model(description, chain["sr1"]).ok());

  description[c.limit] = size - 1;
  const MappingStatus status = mote::check_stateful_model(description, chain["sr1"]);
  EXPECT_EQ(status.text, c.memory + " size exceeds max limit of " + std::to_string(size - 1) + " " +
                             c.word_bits + "-bit words for TNP-R (got " + std::to_string(size) +
                             ").");
  EXPECT_EQ(status.layer_name, "sr1");
}

INSTANTIATE_TEST_SUITE_P(
    Mote, MemoryLimit,
    ::testing::Values(
        MemoryCase{"EVSRAM", HardwareDescription::evsram_32b_words, mote::evsram_words, "32"},
        MemoryCase{"STSRAM", HardwareDescription::stsram_32b_words, mote::stsram_words, "32"},
        MemoryCase{"FSRAM", HardwareDescription::fsram_64b_words, mote::fsram_words, "64"},
        MemoryCase{"TSRAM", HardwareDescription::tsram_51b_words, mote::tsram_words, "51"}),
    [](const auto& info) { return info.param.memory; });

TEST(MoteChecks, MemoryRulesRunAfterChainFailures) {
  Chain chain = passing_chain({{"subsample", 5}});
  const HardwareDescription empty;  // every limit 0
  const MappingStatus status = mote::check_stateful_model(empty, chain["sr1"]);
  EXPECT_EQ(status.layer_name, "sr1");
  const std::string tsram = "TSRAM size exceeds max limit of 0 51-bit words for TNP-R (got " +
                            std::to_string(mote::tsram_words(chain["sr1"])) + ").";
  EXPECT_EQ(status.text.rfind("Subsample ratio exceeds max limit of 4", 0), 0u) << status.text;
  EXPECT_TRUE(contains(status.text, " EVSRAM size exceeds max limit of 0 ")) << status.text;
  EXPECT_EQ(status.text.substr(status.text.size() - tsram.size()), tsram);
}

// Sizes without a value count as 0 and report why, after the chain rules.
TEST(MoteChecks, UnsizableChainReportsWhyInsteadOfASize) {
  Chain chain(8, 3);
  chain.recurrent("sr1", 16, 1).post_processing();
  const auto wide =
      std::make_shared<mote_test::ReshapedInput>(chain["sr1"], chain["sr1"]->input_dims(), 40);
  EXPECT_EQ(mote::check_stateful_model(roomy_description(), wide).text,
            "For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( 40). "
            "EVSRAM cannot be sized: input bits of 'sr1' are 40, outside 1 to 32. "
            "STSRAM cannot be sized: input bits of 'sr1' are 40, outside 1 to 32.");

  const auto flat = std::make_shared<mote_test::ReshapedInput>(chain["sr1"], Shape{3}, 8);
  EXPECT_TRUE(contains(mote::check_stateful_model(roomy_description(), flat).text,
                       "STSRAM cannot be sized: 'sr1' has no timesteps (input dimension 1 is 0)."));
}

}  // namespace
}  // namespace morla

// TNP-R memory sizes of StatefulRecurrent chains.
#include <gtest/gtest.h>

#include <string>

#include "backend/mote/tnpr_memory.h"
#include "mote_test_support.h"

namespace morla {
namespace {

using mote_test::Chain;

struct ChainSizes {
  uint32_t stsram, fsram, tsram, evsram;
};

struct SizeCase {
  std::string label;
  uint32_t timesteps;
  int bits;
  bool post_processing;  // else a Dequantizer ends the chain
  ChainSizes expected;
};

// One layer, 32 input channels, 64 states, 16 outputs of 8 bits.
// FSRAM: in_proj (64, 32) takes 4 x 64 words, out_proj (16, 64) 8 x 16.
// TSRAM: 64 state + ceil(32 / k) input-shift + 16 output entries, and 2 for the tail.
// EVSRAM: the padded row, ceil(32 / (32 / B)) input words, and the tail's 16 / 4.
// STSRAM: 64 states, and 2 x ceil(log2(ceil(T / (32 / B)))) with the tail.
class ChainSizesTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ChainSizesTest, GivesTheFourFigures) {
  const SizeCase& c = GetParam();
  Chain chain(c.timesteps, 32, c.bits);
  chain.recurrent("sr", 64, 16);
  if (c.post_processing)
    chain.post_processing();
  else
    chain.dequantizer();
  const auto start = chain["sr"];
  EXPECT_EQ(mote::stsram_words(start), c.expected.stsram);
  EXPECT_EQ(mote::fsram_words(start), c.expected.fsram);
  EXPECT_EQ(mote::tsram_words(start), c.expected.tsram);
  EXPECT_EQ(mote::evsram_words(start), c.expected.evsram);
}

INSTANTIATE_TEST_SUITE_P(
    Mote, ChainSizesTest,
    ::testing::Values(
        SizeCase{"DequantizerTail", 100, 8, false, {64, 384, 84, 16}},
        SizeCase{"PostProcessingFourSteps", 4, 8, true, {64, 384, 86, 20}},
        SizeCase{"PostProcessing128Steps", 128, 8, true, {74, 384, 86, 20}},
        SizeCase{"PostProcessing100Steps", 100, 8, true, {74, 384, 86, 20}},
        SizeCase{"SixteenBitInputTwoSteps", 2, 16, true, {64, 384, 64 + 8 + 16 + 2, 16 + 16 + 4}},
        SizeCase{"SixteenBitInputLongTail", 128, 16, true, {64 + 12, 384, 90, 36}}),
    [](const auto& info) { return info.param.label; });

TEST(MoteMemory, FsramCountsEightColumnsPerWordOfEachRow) {
  Chain chain(4, 20);
  chain.recurrent("sr", 64, 16).dequantizer();
  EXPECT_EQ(mote::fsram_words(chain["sr"]), 64u * 3 + 16u * 8);
}

TEST(MoteMemory, ChainSizesAddUpOverTheRecurrentLayersAndStopAtTheTail) {
  Chain chain(8, 32);
  chain.recurrent("sr1", 16, 8).recurrent("sr2", 16, 1).post_processing();
  // in_proj (16, 32) + out_proj (8, 16), then in_proj (16, 8) + out_proj (1, 16).
  EXPECT_EQ(mote::fsram_words(chain["sr1"]), (4u * 16 + 2u * 8) + (1u * 16 + 2u * 1));
  // 16 states, 4 input-shift and 8 output entries; 16, 1 and 1; the tail's 2.
  EXPECT_EQ(mote::tsram_words(chain["sr1"]), (16u + 4 + 8) + (16u + 1 + 1) + 2);
  // Padded row 8; 8 and 2 input words; the tail reads 1 channel of 8 bits.
  EXPECT_EQ(mote::evsram_words(chain["sr1"]), 8u + 8 + 2 + 1);
  // Two layers of 16 states, and 2 x ceil(log2(ceil(8 / 4))).
  EXPECT_EQ(mote::stsram_words(chain["sr1"]), 16u * 2 + 2);
  // From the second layer the chain is that layer and the tail.
  EXPECT_EQ(mote::fsram_words(chain["sr2"]), 1u * 16 + 2u * 1);
}

TEST(MoteMemory, PaddedRowIsOneWordUpToThirtyTwoBitsElseAPowerOfTwo) {
  Chain narrow(4, 4);
  narrow.recurrent("sr", 16, 1);
  EXPECT_EQ(mote::padded_row_words(*narrow["sr"]), 1u);
  Chain wide(4, 24);  // 6 words of 8-bit values
  wide.recurrent("sr", 16, 1);
  EXPECT_EQ(mote::padded_row_words(*wide["sr"]), 8u);
}

// Sizes that have no value are refused with the reason, never computed from undefined
// arithmetic.
TEST(MoteMemory, BitWidthsAboveThirtyTwoCannotBeSized) {
  Chain chain(8, 4);
  chain.recurrent("sr", 16, 1).post_processing();
  const auto wide =
      std::make_shared<mote_test::ReshapedInput>(chain["sr"], chain["sr"]->input_dims(), 40);
  EXPECT_THROW(mote::evsram_words(wide), mote::TnprSizingError);
  EXPECT_THROW(mote::stsram_words(wide), mote::TnprSizingError);
  EXPECT_NO_THROW(mote::tsram_words(wide));
  EXPECT_NO_THROW(mote::fsram_words(wide));
}

TEST(MoteMemory, TailWithoutTimestepsCannotBeSized) {
  Chain chain(8, 4);
  chain.recurrent("sr", 16, 1).post_processing();
  const auto flat = std::make_shared<mote_test::ReshapedInput>(chain["sr"], Shape{32}, 8);
  try {
    mote::stsram_words(flat);
    FAIL() << "sized a chain without timesteps";
  } catch (const mote::TnprSizingError& e) {
    EXPECT_STREQ(e.what(), "'sr' has no timesteps (input dimension 1 is 0).");
  }
}

TEST(MoteMemory, ChainMustStartAtAStatefulRecurrentLayer) {
  Chain chain(8, 1);
  chain.post_processing();
  for (auto size : {mote::stsram_words, mote::fsram_words, mote::tsram_words, mote::evsram_words})
    EXPECT_THROW(size(chain["post"]), mote::TnprSizingError);
}

}  // namespace
}  // namespace morla

// v1 CNP weight sizes and the bit layouts of the four weight packers.
#include <gtest/gtest.h>

#include "backend/v1/cnp_weight_packing.h"
#include "backend/v1/cnp_weight_sizes.h"
#include "test_helpers.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;

// A zero int8 weight tensor (filters, channels, k, k) in layout 1, as the engine keeps them.
struct Weights {
  std::shared_ptr<Dense> dense;
  Weights(uint32_t filters, uint32_t channels, uint32_t kernel)
      : dense(Dense::create(TensorType::int8, Shape{filters, channels, kernel, kernel}, Dense::Layout::ColMajor)) {}
  void set(uint32_t f, uint32_t c, uint32_t y, uint32_t x, int8_t v) {
    const auto s = dense->strides();
    dense->mutable_data<int8_t>()[f * s[0] + c * s[1] + y * s[2] + x * s[3]] = v;
  }
};

// Bit `bit` of slot `slot` (two words a slot).
bool slot_bit(const std::vector<uint32_t>& words, size_t slot, uint32_t bit) {
  return words.at(2 * slot + bit / 32) >> (bit % 32) & 1u;
}

size_t set_bits(const std::vector<uint32_t>& words) {
  size_t n = 0;
  for (uint32_t w : words) n += __builtin_popcount(w);
  return n;
}

TEST(CnpWeightSizes, PackedBytesAndWords) {
  EXPECT_EQ(packed_bytes(10, 3), 4u);
  EXPECT_EQ(packed_words(4, 3, 5), 15u);
}

TEST(CnpWeightSizes, StandardWeightsRoundGroupsToSixteen) {
  EXPECT_EQ(cnp_filter_words(3, 2, 8, 4), 64u);   // 6 groups -> 16, two channels
  EXPECT_EQ(cnp_filter_words(1, 1, 12, 4), 32u);  // 1 group -> 16
  EXPECT_EQ(cnp_filter_words(7, 1, 8, 4), 96u);   // 42 groups -> 48
  EXPECT_EQ(cnp_filter_words(3, 1, 8, 3), 0xFFFFFFFFu);
  EXPECT_EQ(test::error_text<std::runtime_error>([] { cnp_filter_words(4, 1, 8, 4); }), "Unsupported kernel size");
}

TEST(CnpWeightSizes, SeparableParts) {
  EXPECT_EQ(pointwise_groups(12, 4), 2u);  // the last group is full but 12 is not a multiple of 8
  EXPECT_EQ(pointwise_groups(16, 4), 2u);
  EXPECT_EQ(depthwise_weight_words(3, 10, 4), 32u);  // one slot a kernel: 20 words -> 32
  EXPECT_EQ(separable_weight_words(3, 10, 12, 4), 32u + 10 * 2 * 2);
}

TEST(CnpWeightSizes, LongSizesRoundUpToSixteenWords) {
  // 2047 channels, 36 four-bit filters: 4096 depthwise + 2047 x 4 x 2 pointwise = 20472 words.
  const Built b = after_input(LayerType::SeparableConvolutional,
                              {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 36}, {"weights_bits", 4}},
                              4, 4, 2047);
  EXPECT_EQ(separable_weight_words(3, 2047, 36, 4), 20472u);
  EXPECT_EQ(cnp_weight_size(*b.layer, 36), 20480u);
  const Built fc = after_input(LayerType::FullyConnected, {{"units", 2}}, 2, 2, 2);
  EXPECT_EQ(test::error_text<std::invalid_argument>([&] { cnp_weight_size(*fc.layer, 1); }),
            "Unexpected layer type for CNP");
}

TEST(SignedCodes, TwosComplementInTheirWidth) {
  EXPECT_EQ(signed_code4(7), 7u);
  EXPECT_EQ(signed_code4(-8), 8u);
  EXPECT_EQ(signed_code2(-2), 2u);
  EXPECT_EQ(signed_code2(1), 1u);
  EXPECT_EQ(test::error_text<std::runtime_error>([] { signed_code4(8); }), "8 cannot fit in a 4-bit signed integer");
  EXPECT_EQ(test::error_text<std::runtime_error>([] { signed_code2(2); }), "2 cannot fit in a 2-bit signed integer");
}

TEST(PackCnpWeights, OneByOneKernelPutsTwelveCodesInAGroup) {
  Weights w(13, 1, 1);
  w.set(12, 0, 0, 0, 1);   // the 13th code starts group 1: magnitude 1, sign bit 3
  w.set(11, 0, 0, 0, -8);  // codes as 0
  const auto words = pack_cnp_weights(*w.dense, 0, 13);
  ASSERT_EQ(words.size(), 32u);
  EXPECT_EQ(words[2], 0x9u);
  EXPECT_EQ(set_bits(words), 2u);
}

TEST(PackCnpWeights, ThreeByThreeCodesFollowRowFilterColumn) {
  Weights w(8, 1, 3);
  w.set(1, 0, 1, 2, 5);  // cursor ((1 * 8 + 1) * 3 + 2) * 4 = 116: slot 2, bit 20
  const auto words = pack_cnp_weights(*w.dense, 0, 8);
  EXPECT_TRUE(slot_bit(words, 2, 20));  // 5 = 101b
  EXPECT_TRUE(slot_bit(words, 2, 22));
  EXPECT_TRUE(slot_bit(words, 2, 23));  // positive
  EXPECT_EQ(set_bits(words), 3u);
}

TEST(PackCnpWeights, FiveByFiveCodesStraddleFiftyBitSlots) {
  Weights w(8, 1, 5);
  w.set(2, 0, 0, 2, 6);  // cursor 48: bits 48, 49 of slot 0, then bits 0, 1 of slot 1
  const auto words = pack_cnp_weights(*w.dense, 0, 8);
  EXPECT_FALSE(slot_bit(words, 0, 48));  // 6 = 0110b: bit 0 clear
  EXPECT_TRUE(slot_bit(words, 0, 49));
  EXPECT_TRUE(slot_bit(words, 1, 0));
  EXPECT_TRUE(slot_bit(words, 1, 1));  // positive
  EXPECT_EQ(set_bits(words), 3u);
}

TEST(PackCnpWeights, SevenBySevenBlockFillsSixSlotsAKernelRow) {
  Weights w(9, 1, 7);
  for (uint32_t f = 0; f < 9; ++f)
    for (uint32_t y = 0; y < 7; ++y)
      for (uint32_t x = 0; x < 7; ++x) w.set(f, 0, y, x, 7);
  const auto words = pack_cnp_weights(*w.dense, 1, 8);  // filters 1..8: one block of 8
  ASSERT_EQ(words.size(), 96u);
  EXPECT_EQ(set_bits(words), 8u * 49 * 4);
  for (uint32_t y = 0; y < 7; ++y) EXPECT_TRUE(slot_bit(words, 6 * y, 0)) << y;
  EXPECT_TRUE(slot_bit(words, 41, 0));
  for (size_t word = 84; word < 96; ++word) EXPECT_EQ(words[word], 0u) << word;
}

TEST(FormatCnpWeights, OneBitFiltersTakeTenBitsOfAFiftyBitSlot) {
  Weights w(6, 1, 3);
  w.set(5, 0, 1, 1, 1);  // sixth filter: slot 1, bit 4
  w.set(0, 0, 0, 0, -1);  // no negative plane with one plane
  const auto words = format_cnp_weights(*w.dense, false, 0, 6);
  EXPECT_EQ(words.size(), 16u);  // 2 slots -> 8
  EXPECT_TRUE(slot_bit(words, 1, 4));
  EXPECT_EQ(set_bits(words), 1u);
}

TEST(FormatCnpWeights, TwoPlanesPutNegativeOnesAfterEachFilter) {
  Weights w(3, 1, 3);
  w.set(2, 0, 0, 0, -1);  // fifth run (filter 2, negative): slot 1, bit 0
  w.set(1, 0, 2, 2, -2);  // not representable
  w.set(0, 0, 0, 1, 1);   // first run, bit 1
  const auto words = format_cnp_weights(*w.dense, true, 0, 3);
  EXPECT_TRUE(slot_bit(words, 1, 0));
  EXPECT_TRUE(slot_bit(words, 0, 1));
  EXPECT_EQ(set_bits(words), 2u);
}

TEST(FormatCnpWeights, OneByOneKernelAlwaysUsesTwoPlanes) {
  Weights w(2, 1, 1);
  w.set(0, 0, 0, 0, -1);
  EXPECT_TRUE(slot_bit(format_cnp_weights(*w.dense, false, 0, 2), 0, 1));
}

TEST(FormatCnpWeights, RefusesUnequalKernelSides) {
  const auto dense = Dense::create(TensorType::int8, Shape{1, 1, 3, 5}, Dense::Layout::ColMajor);
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { format_cnp_weights(*dense, false, 0, 1); }),
            "CNP: width and height must be equal.");
}

TEST(FormatDepthwiseWeights, KernelsThatDoNotShareASlotStartANewOne) {
  Weights w(1, 2, 3);
  w.set(0, 1, 2, 1, -1);  // channel 1 in slot 1; row 2 at bit 24, column 1 at bit 28
  const auto words = format_depthwise_weights(*w.dense, 4);
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[2], 0xFu << 28);
  EXPECT_EQ(set_bits(words), 4u);
}

TEST(FormatPointwiseWeights, RowsStartOnTheirOwnGroups) {
  // 16 filters a row, 3 rows (channels); this NP takes filters 4..15.
  const auto dense = Dense::create(TensorType::int8, Shape{16, 3}, Dense::Layout::ColMajor);
  dense->mutable_data<int8_t>()[16 * 1 + 4 + 11] = -3;  // row 1, last value: bit 44 of its first group
  const auto words = format_pointwise_weights(*dense, 4, 4, 12);
  ASSERT_EQ(words.size(), 3u * 2 * 2);
  EXPECT_EQ(words[5], 0xDu << 12);
  EXPECT_EQ(set_bits(words), 3u);
  EXPECT_THROW(format_pointwise_weights(*dense, 4, 8, 12), std::invalid_argument);
}

}  // namespace
}  // namespace morla::v1

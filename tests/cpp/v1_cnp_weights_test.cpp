// v1 CNP weight sizes and the packers' refusals (their layouts: v1_cnp_layout_refs_test).
#include <gtest/gtest.h>

#include "backend/v1/cnp_weight_packing.h"
#include "backend/v1/cnp_weight_sizes.h"
#include "test_helpers.h"
#include "v1_test_support.h"

namespace morla::v1 {
namespace {

using namespace v1_test;

TEST(CnpWeightSizes, PackedBytesAndWords) {
  EXPECT_EQ(packed_bytes(10, 3), 4u);
  EXPECT_EQ(packed_words(4, 3, 5), 15u);
}

TEST(CnpWeightSizes, StandardWeightsRoundGroupsToSixteen) {
  EXPECT_EQ(cnp_filter_words(3, 2, 8, 4), 64u);   // 6 groups -> 16, two channels
  EXPECT_EQ(cnp_filter_words(1, 1, 12, 4), 32u);  // 1 group -> 16
  EXPECT_EQ(cnp_filter_words(7, 1, 8, 4), 96u);   // 42 groups -> 48
  EXPECT_EQ(cnp_filter_words(3, 1, 8, 3), 0xFFFFFFFFu);
  EXPECT_EQ(test::error_text<std::runtime_error>([] { cnp_filter_words(4, 1, 8, 4); }),
            "Unsupported kernel size");
}

TEST(CnpWeightSizes, SeparableParts) {
  EXPECT_EQ(pointwise_groups(12, 4), 2u);  // the last group is full but 12 is not a multiple of 8
  EXPECT_EQ(pointwise_groups(16, 4), 2u);
  EXPECT_EQ(depthwise_weight_words(3, 10, 4), 32u);  // one slot a kernel: 20 words -> 32
  EXPECT_EQ(separable_weight_words(3, 10, 12, 4), 32u + 10 * 2 * 2);
}

TEST(CnpWeightSizes, LongSizesRoundUpToSixteenWords) {
  // 2047 channels, 36 four-bit filters: 4096 depthwise + 2047 x 4 x 2 pointwise = 20472 words.
  const Built b =
      after_input(LayerType::SeparableConvolutional,
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
  EXPECT_EQ(test::error_text<std::runtime_error>([] { signed_code4(8); }),
            "8 cannot fit in a 4-bit signed integer");
  EXPECT_EQ(test::error_text<std::runtime_error>([] { signed_code2(2); }),
            "2 cannot fit in a 2-bit signed integer");
}

TEST(FormatCnpWeights, RefusesUnequalKernelSides) {
  const auto dense = Dense::create(TensorType::int8, Shape{1, 1, 3, 5}, Dense::Layout::ColMajor);
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { format_cnp_weights(*dense, false, 0, 1); }),
            "CNP: width and height must be equal.");
}

TEST(FormatPointwiseWeights, RefusesFiltersBeyondTheRow) {
  const auto dense = Dense::create(TensorType::int8, Shape{16, 3}, Dense::Layout::ColMajor);
  EXPECT_THROW(format_pointwise_weights(*dense, 4, 8, 12), std::invalid_argument);
}

}  // namespace
}  // namespace morla::v1

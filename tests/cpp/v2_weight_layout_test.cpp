// CNP v2 weight memory: container counts, weight formats and the word images of standard
// and depthwise weights.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <tuple>

#include "backend/v2/cnp_weight_layout.h"
#include "backend/v2/tnp_b_recorder.h"
#include "test_helpers.h"
#include "v2_test_support.h"

namespace morla::v2 {
namespace {

using v2test::make_tensor;

// Weights (k, k, C, F) whose every element is 0 except those set.
std::shared_ptr<Dense> weights(uint32_t k, uint32_t channels, uint32_t filters) {
  return make_tensor(TensorType::int8, Shape{k, k, channels, filters});
}

void set_weight(Dense& w, uint32_t x, uint32_t y, uint32_t i, uint32_t f, int8_t value) {
  const auto s = w.strides();
  w.mutable_data<int8_t>()[x * s[0] + y * s[1] + i * s[2] + f * s[3]] = value;
}

uint8_t byte_at(const std::vector<uint32_t>& image, size_t n) {
  return static_cast<uint8_t>(image.at(n / 4) >> (8 * (n % 4)));
}

struct ImageSize {
  uint32_t kernel, channels, filters, bits;
  uint32_t containers_per_channel;
  size_t words;
};

class V2StandardImageSize : public testing::TestWithParam<ImageSize> {};

TEST_P(V2StandardImageSize, ContainersAndWords) {
  const auto& p = GetParam();
  EXPECT_EQ(ch_cont_size(p.kernel, p.filters, p.bits), p.containers_per_channel);
  const auto w = weights(p.kernel, p.channels, p.filters);
  EXPECT_EQ(format_cnp_weights(*w, 0, p.filters, p.bits).size(), p.words);
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, V2StandardImageSize,
    testing::Values(ImageSize{3, 2, 5, 8, 6, 36},   // 18 words per input channel
                    ImageSize{1, 1, 25, 8, 4, 12},  // two groups of 24 filters
                    ImageSize{4, 1, 8, 8, 12, 36}, ImageSize{5, 1, 8, 8, 20, 60},
                    ImageSize{7, 1, 8, 8, 56, 224},  // format 0: 4 words per container
                    ImageSize{1, 3, 25, 4, 2, 24}, ImageSize{3, 1, 9, 4, 6, 24},
                    ImageSize{5, 1, 5, 4, 8, 32}, ImageSize{7, 1, 8, 4, 21, 84},
                    ImageSize{3, 910, 8, 8, 6, 16380},    // below the long-block size
                    ImageSize{3, 911, 8, 8, 6, 16400}));  // 16398 rounded up to 16

TEST(V2CnpWeightLayout, FormatsAndRefusedKernels) {
  EXPECT_EQ(cnp_weight_format(3, 8), 1u);
  EXPECT_EQ(cnp_weight_format(7, 8), 0u);
  EXPECT_EQ(cnp_weight_format(7, 4), 0u);
  EXPECT_EQ(depthwise_weight_format(7, 8), 1u);  // unlike the standard layout
  EXPECT_EQ(ch_cont_size(4, 8, 8), 12u);
  const auto message = [](auto f) { return test::error_text<std::runtime_error>(f); };
  EXPECT_EQ(message([] { ch_cont_size(4, 8, 4); }), "Unsupported kernel size.");
  EXPECT_EQ(message([] { ch_cont_size(2, 8, 8); }), "ch_cont_size: Unexpected kernel size.");
  EXPECT_EQ(message([] { cnp_weight_format(2, 8); }), "cnp_weight_format: Unexpected kernel size.");
  EXPECT_EQ(message([] { depthwise_ch_cont_size(4, 8, 4); }), "Invalid kernel size.");
  EXPECT_EQ(message([] { format_cnp_weights(*weights(4, 1, 8), 0, 8, 4); }),
            "Unsupported kernel size.");
}

TEST(V2CnpWeightLayout, FilterRangeStartsAtTheNpsFirstFilter) {
  auto w = weights(1, 1, 30);
  set_weight(*w, 0, 0, 0, 26, 7);
  const auto image = format_cnp_weights(*w, 24, 6, 8);
  EXPECT_EQ(byte_at(image, 2), 7);
  EXPECT_THROW(format_cnp_weights(*w, 26, 6, 8), std::runtime_error);  // past filter 29
}

TEST(V2DepthwiseWeightLayout, EightBitRowsAndImageSizes) {
  auto w = weights(7, 1, 3);
  for (uint32_t x = 0; x < 7; ++x) set_weight(*w, x, 0, 0, 1, static_cast<int8_t>(x + 1));
  const auto image = format_depthwise_weights(*w, 1, 2, 8);
  EXPECT_EQ(image.size(), 3u * 7 * 2);
  // One 12-byte row: weights 0-3 in bytes 0-3, 4-6 in bytes 6-8.
  for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(byte_at(image, x), x + 1);
  EXPECT_EQ(byte_at(image, 4), 0);
  for (uint32_t x = 4; x < 7; ++x) EXPECT_EQ(byte_at(image, x + 2), x + 1);
  EXPECT_EQ(
      format_depthwise_weights(*make_tensor(TensorType::int8, Shape{5, 5, 1, 2}), 0, 2, 8).size(),
      18u);  // 36 bytes per channel
  const auto big = make_tensor(TensorType::int8, Shape{3, 3, 1, 5461});
  EXPECT_EQ(format_depthwise_weights(*big, 0, 5461, 8).size(), 16384u);
  EXPECT_EQ(format_depthwise_weights(*big, 0, 5460, 8).size(), 16380u);
}

TEST(V2DepthwiseWeightLayout, FourBitLanesAndRange) {
  auto w = make_tensor(TensorType::int8, Shape{5, 5, 1, 2});
  set_weight(*w, 0, 2, 0, 0, -8);  // row 2 does not fit after two 20-bit rows: lane 1
  set_weight(*w, 0, 0, 0, 1, 7);   // channel 1 starts at lane 3
  const auto image = format_depthwise_weights(*w, 0, 2, 4);
  ASSERT_EQ(image.size(), 12u);
  EXPECT_EQ(image[2], 0x8u);
  EXPECT_EQ(image[6], 0x7u);
  set_weight(*w, 1, 1, 0, 1, 8);
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { format_depthwise_weights(*w, 0, 2, 4); }),
            "8 cannot fit in a 4-bit signed integer");
  EXPECT_EQ(depthwise_ch_cont_size(7, 3, 4), 11u);
}

// The packers read weights through their strides: the same values stored in layout 1 (first
// dimension fastest, filters far apart) give the images of layout 0, which the whole-image
// references check.
using LayoutCase = std::tuple<uint32_t /*kernel*/, uint32_t /*bits*/>;
class V2WeightImagesOfBothLayouts : public testing::TestWithParam<LayoutCase> {};

TEST_P(V2WeightImagesOfBothLayouts, AreTheSame) {
  const auto [k, bits] = GetParam();
  std::mt19937 random(k * 31 + bits);
  const auto both = [&](uint32_t channels, uint32_t filters) {
    const Shape shape{k, k, channels, filters};
    std::shared_ptr<Dense> rows(Dense::create(TensorType::int8, shape, Dense::Layout::RowMajor));
    std::shared_ptr<Dense> columns(Dense::create(TensorType::int8, shape, Dense::Layout::ColMajor));
    std::uniform_int_distribution<int> value(bits == 8 ? -128 : -8, bits == 8 ? 127 : 7);
    for (uint32_t x = 0; x < k; ++x)
      for (uint32_t y = 0; y < k; ++y)
        for (uint32_t i = 0; i < channels; ++i)
          for (uint32_t f = 0; f < filters; ++f) {
            const auto v = static_cast<int8_t>(value(random));
            set_weight(*rows, x, y, i, f, v);
            set_weight(*columns, x, y, i, f, v);
          }
    return std::pair{rows, columns};
  };
  const auto [rows, columns] = both(5, 53);
  if (k != 4 || bits == 8) {
    for (const auto& [first, count] : {std::pair{0u, 53u}, std::pair{7u, 30u}})
      EXPECT_EQ(format_cnp_weights(*rows, first, count, bits),
                format_cnp_weights(*columns, first, count, bits));
  }
  if (k != 1 && (k != 4 || bits == 8)) {
    const auto [depth_rows, depth_columns] = both(1, 29);
    EXPECT_EQ(format_depthwise_weights(*depth_rows, 3, 26, bits),
              format_depthwise_weights(*depth_columns, 3, 26, bits));
  }
  if (k == 1 && bits == 8) {
    const auto [taps_rows, taps_columns] = both(12, 40);
    EXPECT_EQ(format_tnp_b_weights(*taps_rows, 4, 5, 35),
              format_tnp_b_weights(*taps_columns, 4, 5, 35));
    EXPECT_EQ(format_depthwise_tnp_b_weights(*taps_rows, 2, 38),
              format_depthwise_tnp_b_weights(*taps_columns, 2, 38));
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, V2WeightImagesOfBothLayouts,
                         testing::Combine(testing::Values(1u, 3u, 4u, 5u, 7u),
                                          testing::Values(4u, 8u)));

}  // namespace
}  // namespace morla::v2

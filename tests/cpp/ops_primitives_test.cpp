#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "ops/clip.h"
#include "ops/conversion.h"
#include "ops/padding.h"
#include "ops/shift.h"
#include "ops_test_support.h"
#include "test_helpers.h"

namespace morla::ops {
namespace {

using namespace ops_test;

struct PaddingCase {
  uint32_t kernel, input;
  int32_t stride;
  Padding mode;
  int32_t before, after;
  uint32_t out;
  int32_t stride_used;
};

class ComputePadding : public testing::TestWithParam<PaddingCase> {};

TEST_P(ComputePadding, MatchesTheWindowRules) {
  const PaddingCase c = GetParam();
  const PaddingInfo x = compute_padding(c.kernel, 1, c.stride, 1, c.mode, Shape({c.input, 1}));
  EXPECT_EQ(x.pad_x_before, c.before);
  EXPECT_EQ(x.pad_x_after, c.after);
  EXPECT_EQ(x.out_x, c.out);
  EXPECT_EQ(x.stride_x, c.stride_used);
  // The same along y.
  const PaddingInfo y = compute_padding(1, c.kernel, 1, c.stride, c.mode, Shape({1, c.input}));
  EXPECT_EQ(y.pad_y_before, c.before);
  EXPECT_EQ(y.pad_y_after, c.after);
  EXPECT_EQ(y.out_y, c.out);
  EXPECT_EQ(y.stride_y, c.stride_used);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComputePadding,
                         testing::Values(PaddingCase{3, 5, 2, Padding::Same, 1, 1, 3, 2},
                                         PaddingCase{3, 6, 2, Padding::Same, 0, 1, 3, 2},
                                         PaddingCase{3, 6, 1, Padding::SameUpper, 1, 0, 6, 1},
                                         PaddingCase{3, 7, 1, Padding::SameUpper, 1, 1, 7, 1},
                                         PaddingCase{1, 6, 1, Padding::SameUpper, 0, -1, 6, 1},
                                         PaddingCase{3, 3, 1, Padding::Valid, 0, 0, 1, 1},
                                         PaddingCase{3, 9, 0, Padding::Valid, 0, 0, 3,
                                                     3},  // stride 0 -> kernel
                                         PaddingCase{2, 9, -4, Padding::Same, 0, 1, 5, 2}),
                         test::names_by([](const PaddingCase& c) {
                           return "kernel" + std::to_string(c.kernel) + "_input" +
                                  std::to_string(c.input) + "_stride" + std::to_string(c.stride) +
                                  "_mode" + std::to_string(static_cast<int>(c.mode));
                         }));  // negative -> kernel

TEST(ComputePaddingFailures, ValidTooSmallModeAndStrides) {
  EXPECT_EQ(test::error_text<std::runtime_error>([&] {
              compute_padding(3, 3, 1, 1, Padding::Valid, Shape({2, 9}));
            }),
            "Computed output size would not be strictly positive.");
  EXPECT_THROW(compute_padding(3, 3, 1, 1, Padding::Valid, Shape({9, 2})), std::runtime_error);
  EXPECT_THROW(compute_padding(3, 3, 1, 1, static_cast<Padding>(3), Shape({9, 9})),
               std::runtime_error);
  // A zero kernel cannot stand in for a stride below 1, nor a kernel beyond int32.
  EXPECT_THROW(compute_padding(0, 3, 0, 1, Padding::Same, Shape({9, 9})), std::invalid_argument);
  EXPECT_THROW(compute_padding(3, 0xFFFFFFFFu, 1, -1, Padding::Same, Shape({9, 9})),
               std::invalid_argument);
  EXPECT_THROW(compute_padding(3, 3, 1, 1, Padding::Same, Shape({9})), std::invalid_argument);
}

TEST(Clip, BoundsFollowBitsModulo64) {
  EXPECT_EQ(clip(300, 8), 127);
  EXPECT_EQ(clip(-300, 8), -128);
  EXPECT_EQ(clip(int64_t{1} << 40, 0), int64_t{1} << 40);
  EXPECT_EQ(clip(int64_t{1} << 40, 33), (int64_t{1} << 32) - 1);
  EXPECT_EQ(clip(5, 65), 0);  // b = 0: [-1, 0]
  EXPECT_EQ(clip(std::numeric_limits<int64_t>::min(), 64), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(saturate_int32(int64_t{1} << 40), INT32_MAX);
  EXPECT_EQ(saturate_int32(-(int64_t{1} << 40)), INT32_MIN);
}

TEST(ShiftRules, RoundingFloorAndLimits) {
  EXPECT_EQ(shift_round(-3, -1), -1);
  EXPECT_EQ(shift_round(3, -1), 2);
  EXPECT_EQ(shift_floor(-3, -1), -2);
  EXPECT_EQ(shift_round(-1, -1), 0);
  EXPECT_EQ(shift_floor(-1, -1), -1);
  EXPECT_EQ(shift_round(std::numeric_limits<int64_t>::max(), -1), int64_t{1} << 62);
  EXPECT_EQ(lshift_saturate(int64_t{1} << 62, 2), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(lshift_saturate(-(int64_t{1} << 62) - 1, 2), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(lshift_saturate(5, 31), int64_t{5} << 31);
  EXPECT_EQ(rshift_round(5, 1), 3);
  EXPECT_EQ(rshift_floor(-5, 1), -3);
  EXPECT_NO_THROW(shift_round(1, 31));
  EXPECT_NO_THROW(shift_round(1, -31));
  for (int32_t s : {32, 127}) EXPECT_THROW(shift_round(1, s), std::runtime_error);
  for (int32_t s : {-32, -128}) EXPECT_THROW(shift_floor(1, s), std::runtime_error);
  for (uint32_t s : {32u, 128u, 255u}) {
    EXPECT_THROW(lshift_saturate(1, s), std::runtime_error);
    EXPECT_THROW(rshift_round(1, s), std::runtime_error);
    EXPECT_THROW(rshift_floor(1, s), std::runtime_error);
  }
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { lshift_saturate(1, 200); }),
            "Cannot perform a left shift higher than 31.");
}

TEST(ChannelShifts, RightShiftCompositionsAndUnsignedShifts) {
  auto x = i32({2, 2}, {-5, 5, 300, -300});
  auto shifts = u8({2}, {1, 2});
  EXPECT_EQ(values<int32_t>(*rshift_floor_per_channel(*x, *shifts, 32)),
            (std::vector<int32_t>{-3, 1, 150, -75}));
  EXPECT_EQ(values<int32_t>(*rshift_round_per_channel(*x, *shifts, 32)),
            (std::vector<int32_t>{-2, 1, 150, -75}));
  EXPECT_EQ(values<int32_t>(*lshift(*x, *u8({2}, {0, 0}), 8)),
            (std::vector<int32_t>{-5, 5, 127, -128}));
  // uint8 shifts given to shift() take the unsigned left-shift rule
  EXPECT_EQ(values<int32_t>(*shift(*x, *u8({2}, {1, 0}), 32)),
            (std::vector<int32_t>{-10, 5, 600, -300}));
  EXPECT_THROW(rshift_floor_per_channel(*x, *u8({2}, {0, 200}), 32), std::runtime_error);
  // a signed shift tensor read through the unsigned rule is a type error
  EXPECT_THROW(lshift(*x, *i8({2}, {1, 1}), 32), std::runtime_error);
}

TEST(ShiftOut, Int8OnlyForWidthsOneToEight) {
  auto x = i32({3}, {-3, 3, 1000});
  auto s = i8({3}, {-1, -1, 0});
  EXPECT_EQ(shift_out(*x, *s, 8)->type(), TensorType::int8);
  EXPECT_EQ(values<int8_t>(*shift_out(*x, *s, 8)), (std::vector<int8_t>{-1, 2, 127}));
  EXPECT_EQ(shift_out(*x, *s, 1)->type(), TensorType::int8);
  EXPECT_EQ(shift_out(*x, *s, 9)->type(), TensorType::int32);
  EXPECT_THROW(shift_out(*x, *s, 0), std::invalid_argument);
  EXPECT_THROW(shift_out(*x, *s, -4), std::invalid_argument);
}

TEST(Conversions, ToInt32ToInt8AndFixedPoint) {
  auto bit = make<int8_t>(TensorType::bit, {3}, {0, 1, 1});
  EXPECT_EQ(values<int32_t>(*to_int32_dense(*bit)), (std::vector<int32_t>{0, 1, 1}));
  auto u4 = make<uint8_t>(TensorType::uint4, {2}, {15, 200});
  EXPECT_EQ(values<int32_t>(*to_int32_dense(*u4)), (std::vector<int32_t>{15, 200}));
  auto s16 = make<int16_t>(TensorType::int16, {2}, {-32768, 7});
  EXPECT_EQ(values<int32_t>(*to_int32_dense(*s16)), (std::vector<int32_t>{-32768, 7}));
  for (TensorType t : {TensorType::float32, TensorType::uint16})
    EXPECT_THROW(to_int32_dense(*Dense::create(t, {1}, Dense::Layout::RowMajor)),
                 std::runtime_error);
  EXPECT_EQ(values<int8_t>(*to_int8_dense(*i32({3}, {255, 128, -129}))),
            (std::vector<int8_t>{-1, -128, 127}));

  auto f = make<float>(TensorType::float32, {6},
                       {1.5f, -0.03f, -0.0625f, 0.0624f, 1e20f, std::nanf("")});
  EXPECT_EQ(values<int32_t>(*float_to_fixed_q4(*f)),
            (std::vector<int32_t>{24, -1, -1, 0, INT32_MAX, INT32_MIN}));
  EXPECT_THROW(float_to_fixed_q4(*i32({1}, {1})), std::runtime_error);
  EXPECT_THROW(float_to_fixed_q4(std::shared_ptr<const Dense>()), std::invalid_argument);
}

}  // namespace
}  // namespace morla::ops

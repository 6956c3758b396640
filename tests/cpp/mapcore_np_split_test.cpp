// What one NP's piece of a layer input gives its registers: window, phases, output rows.
#include <gtest/gtest.h>

#include <stdexcept>

#include "contract/np_split.h"

namespace morla {
namespace {

NpSpace space(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t c = 4) {
  return NpSpace{x, y, Shape{w, h, c}};
}

struct RowCase {
  const char* name;
  uint32_t y, h, kernel, stride, pad_top;
  uint32_t pool, pool_stride;
  uint32_t phase, out_y, out_height;
};

class NpSplitRows : public testing::TestWithParam<RowCase> {};

TEST_P(NpSplitRows, PhaseAndOutputRows) {
  const RowCase& c = GetParam();
  const Shape input{8, 16, 4};
  const NpSpace part = space(0, c.y, 8, c.h);
  const NpSplit split(input, part, part, c.kernel, c.stride, Padding4{c.pad_top, 1, 1, 1}, c.pool,
                      static_cast<uint8_t>(c.pool_stride), Padding4{});
  EXPECT_EQ(split.row_phase, c.phase);
  EXPECT_EQ(split.out_y, c.out_y);
  EXPECT_EQ(split.out_height, c.out_height);
  EXPECT_EQ(split.height, c.h);
  EXPECT_EQ(split.channels, 4u);
}

INSTANTIATE_TEST_SUITE_P(Rows, NpSplitRows,
                         testing::Values(
                             // Same padding, stride 1: eight input rows give eight output rows.
                             RowCase{"FirstPieceStride1", 0, 8, 3, 1, 1, 1, 1, 0, 0, 8},
                             RowCase{"SecondPieceStride1", 8, 8, 3, 1, 1, 1, 1, 0, 8, 8},
                             // 2x2 pooling halves them.
                             RowCase{"FirstPiecePooled", 0, 8, 3, 1, 1, 2, 2, 0, 0, 4},
                             RowCase{"SecondPiecePooled", 8, 8, 3, 1, 1, 2, 2, 0, 4, 4},
                             // Stride 2: the phase follows the padded row of the piece.
                             RowCase{"Stride2OddStart", 5, 6, 3, 2, 1, 1, 1, 0, 3, 3},
                             RowCase{"Stride2EvenStart", 4, 6, 3, 2, 1, 1, 1, 1, 2, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NpSplit, WindowOffsetsAndAlignedWidth) {
  const NpSpace part = space(8, 0, 13, 8);
  const NpSpace window = space(7, 0, 15, 8);
  const NpSplit split(Shape{21, 8, 4}, part, window, 3, 1, Padding4{1, 1, 1, 1}, 1, 1, Padding4{});
  EXPECT_EQ(split.window_x, 7u);
  EXPECT_EQ(split.window_col_offset, 0xFFFFFFFFu);  // the window starts one column before
  EXPECT_EQ(split.window_width, 15u);
  EXPECT_EQ(split.aligned_width(), 16u);
  EXPECT_EQ(split.out_x, 8u);
  EXPECT_EQ(split.out_width, 13u);

  const TransposedCnpSplit transposed(part, window);
  EXPECT_EQ(transposed.aligned_width(), 28u);
  EXPECT_EQ(transposed.out_x, 16u);
  EXPECT_EQ(transposed.out_height, 16u);
  EXPECT_EQ(transposed.row_phase, 0u);
  EXPECT_EQ(transposed.window_col_offset, 0xFFFFFFFFu);
}

TEST(NpSplit, PartitionWithoutOutputRowIsRefused) {
  // Two rows at the top of a 5x5 kernel without padding hold no kernel centre.
  const NpSpace part = space(0, 0, 8, 2);
  EXPECT_THROW(NpSplit(Shape{8, 8, 4}, part, part, 5, 1, Padding4{}, 1, 1, Padding4{}),
               std::invalid_argument);
}

}  // namespace
}  // namespace morla

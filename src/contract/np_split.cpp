#include "contract/np_split.h"

#include <stdexcept>
#include <string>

namespace morla {
namespace {

struct OutputRange {
  uint32_t first;
  uint32_t last;
};

// The first and last output positions whose kernel centre lies in [a, a + extent - 1]
// (coordinates in the padded input), all in unsigned 32-bit arithmetic.
OutputRange output_range(uint32_t a, uint32_t extent, uint32_t kernel, uint32_t stride,
                         const char* axis) {
  const uint32_t half = kernel / 2;
  const uint32_t e = a + extent - 1;
  if (extent == 0 || e < half)
    throw std::invalid_argument(std::string("The NP partition holds no output ") + axis + ".");
  const uint32_t t = (a + stride > kernel) ? (stride - kernel + a) / stride : 0;
  uint32_t first = t;
  if (first * stride + half < a) first = (a - half + stride - 1) / stride;
  const uint32_t last = (e - half) / stride;
  return {first, last};
}

struct PooledRange {
  uint32_t start;
  uint32_t count;
};

PooledRange pooled_range(const OutputRange& out, uint32_t lead_pad, uint32_t trail_pad,
                         uint32_t pool, uint32_t pool_stride) {
  const uint32_t v = out.last + lead_pad + trail_pad;
  const uint32_t end = (v + pool_stride > pool) ? (pool_stride - pool + v) / pool_stride + 1 : 1;
  const uint32_t start = out.first != 0 ? (lead_pad + out.first) / pool_stride : 0;
  return {start, end - start};
}

void fill_window(NpSplitInterface& split, const NpSpace& partition, const NpSpace& window) {
  split.window_y = window.y;
  split.window_x = window.x;
  split.height = partition.shape[1];
  split.width = partition.shape[0];
  split.channels = partition.shape[2];
  split.window_row_offset = window.y - partition.y;
  split.window_col_offset = window.x - partition.x;
  split.window_height = window.shape[1];
  split.window_width = window.shape[0];
}

uint32_t align4(uint32_t value) { return (value + 3) & ~uint32_t{3}; }

}  // namespace

NpSplit::NpSplit(const Shape& input, const NpSpace& partition, const NpSpace& window,
                 uint32_t kernel_size, uint32_t stride, const Padding4& padding, uint32_t pool_size,
                 uint8_t pool_stride, const Padding4& pool_padding) {
  const uint32_t s = stride == 0 ? 1 : stride;
  const uint32_t q = pool_stride == 0 ? 1 : pool_stride;
  fill_window(*this, partition, window);
  row_phase = (padding.top + partition.y) % s;
  col_phase = (padding.left + partition.x) % s;

  const OutputRange rows = output_range(padding.top + partition.y, height, kernel_size, s, "row");
  const OutputRange cols =
      output_range(padding.left + partition.x, width, kernel_size, s, "column");
  const bool last_row_piece = partition.y + height == input[1];
  const bool last_col_piece = partition.x + width == input[0];
  const PooledRange pooled_rows =
      pooled_range(rows, pool_padding.top, last_row_piece ? pool_padding.bottom : 0, pool_size, q);
  const PooledRange pooled_cols =
      pooled_range(cols, pool_padding.left, last_col_piece ? pool_padding.right : 0, pool_size, q);
  out_y = pooled_rows.start;
  out_height = pooled_rows.count;
  out_x = pooled_cols.start;
  out_width = pooled_cols.count;
}

uint32_t NpSplit::aligned_width() const { return align4(width); }

TransposedCnpSplit::TransposedCnpSplit(const NpSpace& partition, const NpSpace& window) {
  fill_window(*this, partition, window);
  row_phase = 0;
  col_phase = 0;
  out_y = 2 * partition.y;
  out_x = 2 * partition.x;
  out_height = 2 * height;
  out_width = 2 * width;
}

uint32_t TransposedCnpSplit::aligned_width() const { return align4(out_width); }

}  // namespace morla

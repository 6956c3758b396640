#pragma once
// How one NP's piece of a layer input maps to register values: the window it reads, the
// phase of its first row and column, and the pooled output rows and columns it produces.
#include <cstdint>

#include "core/shape.h"
#include "contract/component.h"

namespace morla {

struct Padding4 {
  uint32_t top = 0;
  uint32_t bottom = 0;
  uint32_t left = 0;
  uint32_t right = 0;
};

class NpSplitInterface {
 public:
  virtual ~NpSplitInterface() = default;
  virtual uint32_t aligned_width() const = 0;

  uint32_t window_y = 0;
  uint32_t window_x = 0;
  uint32_t height = 0;
  uint32_t width = 0;
  uint32_t channels = 0;
  uint32_t row_phase = 0;
  uint32_t col_phase = 0;
  uint32_t window_row_offset = 0;  // two's complement when the window starts above
  uint32_t window_col_offset = 0;
  uint32_t window_height = 0;
  uint32_t window_width = 0;
  uint32_t out_y = 0;
  uint32_t out_x = 0;
  uint32_t out_height = 0;
  uint32_t out_width = 0;
};

class NpSplit final : public NpSplitInterface {
 public:
  // `stride` and `pool_stride` of 0 count as 1. A partition that holds no output row or
  // column (its rows all lie before the first kernel centre) is refused with
  // std::invalid_argument.
  NpSplit(const Shape& input, const NpSpace& partition, const NpSpace& window, uint32_t kernel_size,
          uint32_t stride, const Padding4& padding, uint32_t pool_size, uint8_t pool_stride,
          const Padding4& pool_padding);

  // `width` + 3 rounded down to a multiple of 4.
  uint32_t aligned_width() const override;
};

class TransposedCnpSplit final : public NpSplitInterface {
 public:
  TransposedCnpSplit(const NpSpace& partition, const NpSpace& window);

  // `out_width` + 3 rounded down to a multiple of 4.
  uint32_t aligned_width() const override;
};

}  // namespace morla

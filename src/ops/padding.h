#pragma once
// Window geometry of the convolutions and of pooling.
#include <cstdint>

#include "core/enums.h"
#include "core/shape.h"

namespace morla::ops {

// x is the first spatial dimension (shape[0]), y the second. An after pad may be -1.
struct PaddingInfo {
  int32_t pad_x_before;
  int32_t pad_x_after;
  int32_t pad_y_before;
  int32_t pad_y_after;
  uint32_t out_x;
  uint32_t out_y;
  int32_t stride_x;
  int32_t stride_y;
};

// Output size, pads and strides of a kernel_x x kernel_y window over dimensions 0 and 1 of
// `input_shape`. A stride below 1 is replaced by the kernel size of its dimension; a stride
// that is still below 1 (zero or huge kernel) is refused with std::invalid_argument.
// Throws std::runtime_error "Computed output size would not be strictly positive." (Valid
// with an input smaller than the kernel) or "Unsupported mode.".
PaddingInfo compute_padding(uint32_t kernel_x, uint32_t kernel_y, int32_t stride_x,
                            int32_t stride_y, Padding mode, const Shape& input_shape);

// Number of whole windows along one dimension of `size` + pads, for geometry checks.
int64_t window_count(int64_t padded_size, int64_t window, int64_t stride);

}  // namespace morla::ops

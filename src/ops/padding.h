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
// `input_shape`. Kernel sizes must be in [1, 2^31 - 1] (std::invalid_argument otherwise:
// the pad arithmetic is signed 32-bit). A stride below 1 is replaced by the kernel size of its
// dimension; a stride that is still below 1 (zero or huge kernel) is refused with
// std::invalid_argument. Throws std::runtime_error "Computed output size would not be strictly
// positive." (Valid with an input smaller than the kernel) or "Unsupported mode.".
PaddingInfo compute_padding(uint32_t kernel_x, uint32_t kernel_y, int32_t stride_x,
                            int32_t stride_y, Padding mode, const Shape& input_shape);

// A size computed in 64 bits, refused (std::invalid_argument) when it does not fit the
// 32-bit sizes of shapes: "<what> of <value> does not fit 32 bits.".
uint32_t checked_size(uint64_t value, const char* what);

// Transposed convolutions upsample by the stride: output size input x stride (checked), and
// a padding of half the kernel's overlap beyond the stride on each side (0 when none).
uint32_t transpose_output_size(uint32_t input, uint32_t stride);
int32_t transpose_padding(uint32_t kernel, uint32_t stride);

// Number of whole windows along one dimension of `size` + pads, for geometry checks.
int64_t window_count(int64_t padded_size, int64_t window, int64_t stride);

}  // namespace morla::ops

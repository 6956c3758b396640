#pragma once
// Correlations through the register-blocked vector loops: the input is placed once into a
// filled canvas in the narrowest packing its values fit (or, for depthwise_inside, read
// where it lies), the kernel laid out for the loops, and the path picked by kernel_path.h
// runs; the sums go straight from the registers to the output. On the portable path, and
// for a depthwise correlation that reads too few values per canvas position to pay for the
// canvas, these return false and the caller runs its own loop.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ops/kernels.h"

namespace morla::ops::kernels {

// Input pixel (i, j) sits at canvas position (i * spread + offset_x, j * spread + offset_y),
// spread at least 1 (0 is left to the portable loops);
// the other positions read `fill` (one value per channel, or zero when null). Positions
// that fall outside the canvas are dropped.
struct Placement {
  size_t spread;
  int64_t offset_x, offset_y;
  const int32_t* fill;
};

// out(ox, oy, f) = Σ_{t,u,c} kernel[(t*ky + u)*channels + c][f] * canvas(ox*stride_x + t,
// oy*stride_y + u, c), wrapping in 32 bits. For the depthwise form f is the channel and the
// kernel is (kx*ky, channels).
struct Correlation {
  size_t kx, ky, stride_x, stride_y, out_x, out_y, filters;
};

// Where the results go: output (ox, oy) starts at data + ox * x_step + oy * y_step, its
// filters (or channels) contiguous. With `bits` set each result is clipped to that width.
struct Output {
  uint32_t* data;
  size_t x_step, y_step;
  const int32_t* bits;
};

// The kernel values of a correlation must fit 8 bits (every operation's weights do). The
// input is placed on its canvas in the narrowest packing its values fit, which the placing
// pass finds out itself (placed again, wider, when a value does not fit the packing the
// first input row suggested). True when it ran, having written every output of `out`;
// false with `out` untouched.
template <typename T>
bool correlate_blocked(const Image<T>& in, const Placement& placement, const Correlation& shape,
                       const int32_t* kernel, const Output& out);

// correlate_blocked in two steps, so that the loops can be timed apart from the work around
// them: the operands laid out once (null where correlate_blocked returns false), then the
// loops alone, which write every output of `out`.
struct PreparedCorrelation;
template <typename T>
std::shared_ptr<const PreparedCorrelation> prepare_correlation(const Image<T>& in,
                                                               const Placement& placement,
                                                               const Correlation& shape,
                                                               const int32_t* kernel,
                                                               const Output& out);
void run_correlation(const PreparedCorrelation& prepared);

// The depthwise correlation read straight from an int32 image, no canvas, for outputs whose
// windows all lie inside it: `origin` is the first value of output (0, 0)'s window, pixel
// rows image_y pixels apart. False where the vector loops cannot read the image as it lies
// (the portable path, or channels not a whole number of vectors).
bool depthwise_inside(const int32_t* origin, size_t image_y, size_t channels,
                      const Correlation& shape, const int32_t* kernel, const Output& out);
template <typename T>
bool depthwise_blocked(const Image<T>& in, const Placement& placement, const Correlation& shape,
                       const int32_t* kernel, const Output& out);

}  // namespace morla::ops::kernels

#pragma once
// Pooling over int32 (x, y, channel) tensors.
#include <cstdint>
#include <memory>

#include "engine_api/tensor.h"

namespace morla::ops {

// Maximum of clip(in, bits) over each window of the padded input (X + pad_x_before +
// pad_x_after by Y + pad_y_before + pad_y_after, padded position x being input row
// x - pad_x_before); padding never wins and a window holding only padding keeps the lower
// clip bound (at least INT32_MIN). Window ox covers padded positions ox*stride_x ..
// ox*stride_x + max(pool_x, stride_x) - 1, cut at the padded input's end: an after pad of -1
// leaves the last input row unread, and windows past the end keep the fill. A 1x1 pool
// returns `inputs` itself. `global` pools over the whole of X and Y. Pool sizes and strides
// must be at least 1.
std::shared_ptr<Dense> max_pooling(std::shared_ptr<Dense> inputs, int8_t pool_x, int8_t pool_y,
                                   bool global, uint32_t out_x, uint32_t out_y, int8_t stride_x,
                                   int8_t stride_y, int32_t pad_y_before, int32_t pad_y_after,
                                   int32_t pad_x_before, int32_t pad_x_after, int32_t bits);

// Per-channel saturating sum over the whole image (no division): (1, 1, C).
std::shared_ptr<Dense> global_average_pooling(std::shared_ptr<Dense> inputs, int32_t bits);

}  // namespace morla::ops

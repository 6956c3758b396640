#include "ops/pooling.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "ops/channel_loops.h"
#include "ops/clip.h"
#include "ops/tensor_access.h"

namespace morla::ops {

namespace {

void require_tensor(const char* op, const std::shared_ptr<Dense>& inputs) {
  if (!inputs) throw std::invalid_argument(std::string(op) + ": no inputs tensor given.");
}

}  // namespace

std::shared_ptr<Dense> max_pooling(std::shared_ptr<Dense> inputs, int8_t pool_x, int8_t pool_y,
                                   bool global, uint32_t out_x, uint32_t out_y, int8_t stride_x,
                                   int8_t stride_y, int32_t pad_y_before, int32_t pad_y_after,
                                   int32_t pad_x_before, int32_t pad_x_after, int32_t bits) {
  static constexpr const char* op = "max_pooling";
  require_tensor(op, inputs);
  if (pool_x == 1 && pool_y == 1) return inputs;

  const int32_t* in = detail::elements<int32_t>(*inputs);
  detail::require_rank(op, "inputs", *inputs, 3);
  const Shape shape = inputs->shape();
  const int64_t size_x = shape[0], size_y = shape[1];
  const size_t channels = shape[2];
  const int64_t pool_width = global ? size_x : pool_x, pool_height = global ? size_y : pool_y;
  detail::require_positive(op, "pool_x", pool_width);
  detail::require_positive(op, "pool_y", pool_height);
  detail::require_positive(op, "stride_x", stride_x);
  detail::require_positive(op, "stride_y", stride_y);
  // Any output size is defined: windows past the padded input hold padding only. Window ox
  // covers the padded positions ox*stride_x .. ox*stride_x + max(pool_x, stride_x) - 1, cut at
  // the padded input's end: an after pad of -1 leaves the last input row unread.
  const loops::PoolAxis along_x{stride_x, std::max<int64_t>(pool_width, stride_x), pad_x_before,
                                size_x + pad_x_before + pad_x_after, size_x};
  const loops::PoolAxis along_y{stride_y, std::max<int64_t>(pool_height, stride_y), pad_y_before,
                                size_y + pad_y_before + pad_y_after, size_y};

  auto result = detail::make_dense_unfilled(TensorType::int32, {out_x, out_y, shape[2]});
  // The lower clip bound saturated to int32 is also the value of a window of padding only.
  const ClipRange range = clip_range(bits);
  loops::max_pool(in, channels, along_x, along_y, out_x, out_y, saturate_int32(range.low),
                  saturate_int32(range.high), detail::mutable_elements<int32_t>(*result));
  return result;
}

std::shared_ptr<Dense> global_average_pooling(std::shared_ptr<Dense> inputs, int32_t bits) {
  static constexpr const char* op = "global_average_pooling";
  require_tensor(op, inputs);
  const int32_t* in = detail::elements<int32_t>(*inputs);
  detail::require_rank(op, "inputs", *inputs, 3);
  const Shape shape = inputs->shape();
  const size_t channels = shape[2];
  auto result = detail::make_dense_unfilled(TensorType::int32, {1, 1, shape[2]});
  int32_t* out = detail::mutable_elements<int32_t>(*result);

  // Each step's clipped sum is stored in the int32 element, saturating: the sum never
  // leaves the int32 range, whatever the width.
  const ClipRange range = clip_range(bits);
  std::fill(out, out + channels, 0);
  const size_t pixels = size_t{shape[0]} * shape[1];
  loops::sum_rows(out, in, pixels, channels, saturate_int32(range.low), saturate_int32(range.high));
  return result;
}

}  // namespace morla::ops

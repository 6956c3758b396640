#include "ops/pooling.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "ops/channel_loops.h"
#include "ops/clip.h"
#include "ops/tensor_access.h"

namespace morla::ops {

namespace {

void require_tensor(const char* op, const std::shared_ptr<Dense>& inputs) {
  if (!inputs) throw std::invalid_argument(std::string(op) + ": no inputs tensor given.");
}

// The real input positions of window `index` along one dimension. Window `index` covers the
// padded positions index*stride .. index*stride + max(pool, stride) - 1 that lie inside the
// padded input; padded position p is input element p - pad_before, so a negative after pad
// leaves the last input rows unread.
struct Span {
  int64_t first, last;  // inclusive, in input coordinates; empty when first > last
};

Span window_span(int64_t index, int64_t stride, int64_t pool, int64_t pad_before,
                 int64_t padded_size, int64_t size) {
  const int64_t start = index * stride;
  const int64_t end = std::min(start + std::max(pool, stride), padded_size);  // exclusive
  return {std::max<int64_t>(start - pad_before, 0), std::min(end - pad_before, size) - 1};
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
  // Any output size is defined: windows past the padded input keep the fill.
  const int64_t padded_x = size_x + pad_x_before + pad_x_after;
  const int64_t padded_y = size_y + pad_y_before + pad_y_after;

  auto result = detail::make_dense_unfilled(TensorType::int32, {out_x, out_y, shape[2]});
  int32_t* out = detail::mutable_elements<int32_t>(*result);
  const ClipRange range = clip_range(bits);
  const auto fill = static_cast<int32_t>(std::max<int64_t>(range.low, INT32_MIN));
  const auto low = saturate_int32(range.low), high = saturate_int32(range.high);

  for (uint32_t ox = 0; ox < out_x; ++ox) {
    const Span xs = window_span(ox, stride_x, pool_width, pad_x_before, padded_x, size_x);
    for (uint32_t oy = 0; oy < out_y; ++oy) {
      const Span ys = window_span(oy, stride_y, pool_height, pad_y_before, padded_y, size_y);
      int32_t* target = out + (size_t{ox} * out_y + oy) * channels;
      std::fill(target, target + channels, fill);
      if (ys.first > ys.last) continue;
      for (int64_t x = xs.first; x <= xs.last; ++x)  // the window's rows along y lie in a row
        loops::max_rows(target, in + static_cast<size_t>(x * size_y + ys.first) * channels,
                        static_cast<size_t>(ys.last - ys.first + 1), channels, low, high);
    }
  }
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

#include "ops/padding.h"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "ops/tensor_access.h"

namespace morla::ops {

namespace {

// The output sizes are single-precision quotients rounded up.
uint32_t ceil_div(uint32_t numerator, int32_t stride) {
  const float quotient = std::ceil(static_cast<float>(numerator) / static_cast<float>(stride));
  // Only a size near 2^32 rounds past the uint32 range.
  return quotient >= 4294967295.0f ? UINT32_MAX : static_cast<uint32_t>(quotient);
}

// Same padding along one dimension; the total is formed in 32-bit two's complement.
void same_pads(uint32_t in, uint32_t kernel, int32_t stride, uint32_t out, int32_t& before,
               int32_t& after) {
  const auto total =
      static_cast<int32_t>((out - 1) * static_cast<uint32_t>(stride) - (in - kernel));
  before = total > 0 ? total / 2 : 0;
  after = total > 0 ? total - before : 0;
}

}  // namespace

PaddingInfo compute_padding(uint32_t kernel_x, uint32_t kernel_y, int32_t stride_x,
                            int32_t stride_y, Padding mode, const Shape& input_shape) {
  static constexpr const char* op = "compute_padding";
  PaddingInfo info{};
  info.stride_x = stride_x < 1 ? static_cast<int32_t>(kernel_x) : stride_x;
  info.stride_y = stride_y < 1 ? static_cast<int32_t>(kernel_y) : stride_y;
  detail::require_positive(op, "stride_x (after replacing a stride below 1 by the kernel width)",
                           info.stride_x);
  detail::require_positive(op, "stride_y (after replacing a stride below 1 by the kernel height)",
                           info.stride_y);
  for (const auto& [name, kernel] :
       {std::pair{"kernel_x", kernel_x}, std::pair{"kernel_y", kernel_y}})
    if (kernel < 1 || kernel > static_cast<uint32_t>(INT32_MAX))
      throw std::invalid_argument(std::string(op) + ": " + name +
                                  " must be between 1 and 2147483647, got " +
                                  std::to_string(static_cast<int32_t>(kernel)) + ".");
  if (input_shape.size() < 2)
    throw std::invalid_argument(std::string(op) +
                                ": the input must have at least 2 dimensions, got " +
                                std::to_string(input_shape.size()) + ".");
  const uint32_t in_x = input_shape[0];
  const uint32_t in_y = input_shape[1];

  switch (mode) {
    case Padding::SameUpper:
      info.out_x = ceil_div(in_x, info.stride_x);
      info.out_y = ceil_div(in_y, info.stride_y);
      info.pad_x_before = static_cast<int32_t>((kernel_x - 1) / 2);
      info.pad_y_before = static_cast<int32_t>((kernel_y - 1) / 2);
      info.pad_x_after = info.pad_x_before + static_cast<int32_t>(in_x & 1) - 1;
      info.pad_y_after = info.pad_y_before + static_cast<int32_t>(in_y & 1) - 1;
      return info;
    case Padding::Same:
      info.out_x = ceil_div(in_x, info.stride_x);
      info.out_y = ceil_div(in_y, info.stride_y);
      same_pads(in_x, kernel_x, info.stride_x, info.out_x, info.pad_x_before, info.pad_x_after);
      same_pads(in_y, kernel_y, info.stride_y, info.out_y, info.pad_y_before, info.pad_y_after);
      return info;
    case Padding::Valid:
      if (in_x < kernel_x || in_y < kernel_y)
        throw std::runtime_error("Computed output size would not be strictly positive.");
      info.out_x = ceil_div(in_x - kernel_x + 1, info.stride_x);
      info.out_y = ceil_div(in_y - kernel_y + 1, info.stride_y);
      return info;
  }
  throw std::runtime_error("Unsupported mode.");
}

uint32_t checked_size(uint64_t value, const char* what) {
  if (value > UINT32_MAX)
    throw std::invalid_argument(std::string(what) + " of " + std::to_string(value) +
                                " does not fit 32 bits.");
  return static_cast<uint32_t>(value);
}

uint32_t transpose_output_size(uint32_t input, uint32_t stride) {
  return checked_size(uint64_t{input} * stride, "transposed convolution output size");
}

int32_t transpose_padding(uint32_t kernel, uint32_t stride) {
  const int64_t overlap = int64_t{kernel} - int64_t{stride};
  return overlap > 0 ? static_cast<int32_t>(overlap / 2) : 0;
}

int64_t window_count(int64_t padded_size, int64_t window, int64_t stride) {
  return padded_size < window ? 0 : (padded_size - window) / stride + 1;
}

}  // namespace morla::ops

#pragma once
// Element (x, y, i, f) of a four-dimensional int8 weights tensor, found through its strides;
// an index past the tensor panics instead of reading beyond it.
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/tensor.h"

namespace morla::v2 {

class WeightReader {
 public:
  explicit WeightReader(const Dense& weights)
      : weights_(weights), data_(weights.data<int8_t>()), strides_(weights.strides()) {
    if (weights.shape().size() != 4 || strides_.size() != 4)
      throw std::runtime_error("Weights must have four dimensions.");
  }
  uint32_t dim(size_t i) const { return weights_.shape()[i]; }
  int8_t at(uint32_t x, uint32_t y, uint32_t i, uint32_t f) const {
    const size_t index = size_t{x} * strides_[0] + size_t{y} * strides_[1] +
                         size_t{i} * strides_[2] + size_t{f} * strides_[3];
    check_tensor_index(weights_, index);
    return data_[index];
  }

 private:
  const Dense& weights_;
  const int8_t* data_;
  std::vector<uint32_t> strides_;
};

// A byte-addressed image: byte n in word n / 4, bits 8 (n mod 4) upward.
inline void put_byte(std::vector<uint32_t>& image, size_t byte_index, uint8_t value) {
  image[byte_index / 4] |= uint32_t{value} << (8 * (byte_index % 4));
}

}  // namespace morla::v2

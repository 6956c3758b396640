#pragma once
// Element (x, y, i, f) of a four-dimensional int8 weights tensor, found through its strides;
// a packer reads a box of indices through a view whose highest element is checked once, so
// that nothing past the tensor is read.
#include <array>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "engine_api/tensor.h"
#include "contract/strided_view.h"

namespace morla::v2 {

class WeightReader {
 public:
  explicit WeightReader(const Dense& weights) : weights_(weights) {
    check_tensor_type<int8_t>(weights);
    strides_ = weights.strides();
    shape_ = weights.shape();
    if (shape_.size() != 4 || strides_.size() != 4)
      throw std::runtime_error("Weights must have four dimensions.");
  }
  uint32_t dim(size_t i) const { return shape_[i]; }
  // The elements x < extents[0], y < extents[1], i < extents[2], f < extents[3].
  StridedView<int8_t> view(const std::array<uint32_t, 4>& extents) const {
    return StridedView<int8_t>(weights_, strides_, extents);
  }

 private:
  const Dense& weights_;
  std::vector<uint32_t> strides_;
  Shape shape_;
};

// A byte-addressed image: byte n in word n / 4, bits 8 (n mod 4) upward.
inline void put_byte(std::vector<uint32_t>& image, size_t byte_index, uint8_t value) {
  image[byte_index / 4] |= uint32_t{value} << (8 * (byte_index % 4));
}

// The bytes of a byte-addressed image in that order, which is the machine's own.
inline uint8_t* image_bytes(std::vector<uint32_t>& image) {
  static_assert(std::endian::native == std::endian::little);
  return reinterpret_cast<uint8_t*>(image.data());
}

}  // namespace morla::v2

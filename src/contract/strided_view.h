#pragma once
// Raw reads of a tensor's elements for the packers: the element type and the highest element
// a packing loop reads are checked once, then the loop reads plain memory.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine_api/tensor.h"

namespace morla {

// The tensor's elements as T after checking the element type (as typed access does) and, when
// `count` is not 0, that index count - 1 lies in the tensor (as checked access does).
template <typename T>
const T* checked_elements(const Tensor& tensor, size_t count) {
  const T* data = tensor.data<T>();
  if (count != 0) check_tensor_index(tensor, count - 1);
  return data;
}

// Elements of a tensor by linear index, its element count read once: an index past it panics
// as checked access does. The caller has checked the element type.
template <typename T>
class IndexedView {
 public:
  explicit IndexedView(const Tensor& tensor)
      : tensor_(&tensor),
        data_(static_cast<const T*>(tensor.buffer().data())),
        size_(tensor.size()) {}
  T operator[](size_t index) const {
    if (index >= size_) check_tensor_index(*tensor_, index);
    return data_[index];
  }

 private:
  const Tensor* tensor_;
  const T* data_;
  size_t size_;
};

// The extent along one dimension of the indices first .. first + count - 1 (0 when count is 0:
// nothing is read).
inline uint32_t index_extent(uint32_t first, uint32_t count) {
  return count == 0 ? 0 : first + count;
}

// Element (a, b, c, d) of a tensor at a * s0 + b * s1 + c * s2 + d * s3 for the first four
// `strides` (missing ones count as 0). The reader promises to stay inside the box
// `extents` (indices a < extents[0], ...), whose highest element is checked once.
template <typename T>
class StridedView {
 public:
  StridedView(const Tensor& tensor, const std::vector<uint32_t>& strides,
              const std::array<uint32_t, 4>& extents) {
    size_t highest = 0;
    bool empty = false;
    for (size_t d = 0; d < 4; ++d) {
      strides_[d] = d < strides.size() ? strides[d] : 0;
      if (extents[d] == 0)
        empty = true;
      else
        highest += size_t{extents[d] - 1} * strides_[d];
    }
    data_ = checked_elements<T>(tensor, empty ? 0 : highest + 1);
  }

  T operator()(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const {
    return *element(a, b, c, d);
  }
  // Where element (a, b, c, d) lies: the elements of the box around it are `stride` apart.
  const T* element(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const {
    return data_ + a * strides_[0] + b * strides_[1] + c * strides_[2] + d * strides_[3];
  }
  size_t stride(size_t d) const { return strides_[d]; }

 private:
  const T* data_ = nullptr;
  std::array<size_t, 4> strides_{};
};

}  // namespace morla

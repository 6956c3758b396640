#include "core/shape.h"

#include "core/platform.h"

namespace morla {

Shape::Shape(const std::initializer_list<uint32_t>& dims) { assign(dims.begin(), dims.size()); }

Shape::Shape(const std::vector<uint32_t>& dims) { assign(dims.data(), dims.size()); }

void Shape::assign(const uint32_t* values, size_t n) {
  if (n < 1 || n > kMaxDims)
    panic("Shape number of dimensions must be in range [1, 4], got %zu", n);
  for (size_t i = 0; i < n; ++i) {
    if (values[i] == 0) panic("Cannot have a shape with dimension %zu set to 0", i);
    dims_[i] = values[i];
  }
  count_ = n;
}

size_t Shape::element_count() const {
  if (count_ == 0) return 0;
  size_t n = 1;
  for (size_t i = 0; i < count_; ++i) n *= dims_[i];
  return n;
}

bool Shape::operator==(const Shape& other) const {
  if (count_ != other.count_) return false;
  for (size_t i = 0; i < count_; ++i)
    if (dims_[i] != other.dims_[i]) return false;
  return true;
}

}  // namespace morla

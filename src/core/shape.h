#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace morla {

// Up to four non-zero dimensions; models use (n, x, y, c).
class Shape {
 public:
  static constexpr size_t kMaxDims = 4;

  Shape() = default;
  Shape(const std::initializer_list<uint32_t>& dims);
  Shape(const std::vector<uint32_t>& dims);

  uint32_t* begin() { return dims_; }
  uint32_t* end() { return dims_ + count_; }
  const uint32_t* begin() const { return dims_; }
  const uint32_t* end() const { return dims_ + count_; }

  size_t size() const { return count_; }
  uint32_t operator[](size_t i) const { return dims_[i]; }
  const uint32_t* data() const { return dims_; }
  uint32_t front() const { return dims_[0]; }
  uint32_t back() const { return dims_[count_ - 1]; }
  // Product of the dimensions (0 for a default-constructed shape).
  size_t element_count() const;

  bool operator==(const Shape& other) const;
  bool operator!=(const Shape& other) const { return !(*this == other); }

 private:
  void assign(const uint32_t* values, size_t n);

  uint32_t dims_[kMaxDims] = {0, 0, 0, 0};
  size_t count_ = 0;
};

}  // namespace morla

#include "ops/tensor_access.h"

#include <stdexcept>

#include "core/platform.h"

namespace morla::ops::detail {

namespace {

void check_buffer(const Dense& tensor, size_t element_size) {
  const size_t needed = element_count(tensor) * element_size;
  if (tensor.buffer().size() < needed)
    throw std::runtime_error("Tensor buffer of " + std::to_string(tensor.buffer().size()) +
                             " bytes is smaller than its shape " + shape_text(tensor.shape()) +
                             " needs (" + std::to_string(needed) + " bytes).");
}

}  // namespace

size_t element_count(const Dense& tensor) { return tensor.shape().element_count(); }

template <typename T>
const T* elements(const Dense& tensor) {
  check_tensor_type<T>(tensor);
  check_buffer(tensor, sizeof(T));
  return static_cast<const T*>(tensor.buffer().data());
}

template <typename T>
T* mutable_elements(Dense& tensor) {
  check_tensor_type<T>(tensor);
  check_buffer(tensor, sizeof(T));
  return static_cast<T*>(tensor.buffer().mutable_data());
}

template const int8_t* elements<int8_t>(const Dense&);
template const uint8_t* elements<uint8_t>(const Dense&);
template const int16_t* elements<int16_t>(const Dense&);
template const uint16_t* elements<uint16_t>(const Dense&);
template const int32_t* elements<int32_t>(const Dense&);
template const float* elements<float>(const Dense&);
template int8_t* mutable_elements<int8_t>(Dense&);
template uint8_t* mutable_elements<uint8_t>(Dense&);
template int16_t* mutable_elements<int16_t>(Dense&);
template uint16_t* mutable_elements<uint16_t>(Dense&);
template int32_t* mutable_elements<int32_t>(Dense&);
template float* mutable_elements<float>(Dense&);

// Shape itself panics on the first zero dimension.
namespace {

void check_element_count(const Shape& shape) {
  uint64_t count = 1;
  for (uint32_t d : shape) count *= d;
  if (count > UINT32_MAX)
    panic("Tensor shape size %llu exceeds maximum shape size (%zu)",
          static_cast<unsigned long long>(count), static_cast<size_t>(UINT32_MAX));
}

}  // namespace

std::shared_ptr<Dense> make_dense(TensorType type, const Shape& shape) {
  check_element_count(shape);
  return std::shared_ptr<Dense>(Dense::create(type, shape, Dense::Layout::RowMajor));
}

std::shared_ptr<Dense> make_dense_unfilled(TensorType type, const Shape& shape) {
  check_element_count(shape);
  return std::shared_ptr<Dense>(Dense::create_unfilled(type, shape, Dense::Layout::RowMajor));
}

LogicalDims logical_dims(const Dense& tensor) {
  const Shape shape = tensor.shape();
  const std::vector<uint32_t> dims(shape.begin(), shape.end());
  const std::vector<uint32_t> strides = tensor.strides();
  const size_t n = dims.size();
  if (strides.size() != n) throw std::runtime_error("Tensor strides do not match its shape.");
  const bool reversed = tensor.layout() == Dense::Layout::ColMajor;
  LogicalDims out{std::vector<uint32_t>(n), std::vector<size_t>(n)};
  size_t last = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t axis = reversed ? n - 1 - i : i;
    out.dims[i] = dims[axis];
    out.strides[i] = strides[axis];
    last += size_t{dims[axis] - 1} * strides[axis];
  }
  if (n > 0 && last >= element_count(tensor))
    throw std::runtime_error("Tensor strides reach beyond its elements.");
  return out;
}

void require_rank(const char* op, const char* name, size_t rank, size_t expected) {
  if (rank != expected)
    throw std::invalid_argument(std::string(op) + ": " + name + " must have " +
                                std::to_string(expected) + " dimensions, got " +
                                std::to_string(rank) + ".");
}

void require_rank(const char* op, const char* name, const Dense& tensor, size_t expected) {
  require_rank(op, name, tensor.shape().size(), expected);
}

void require_equal(const char* op, const std::string& what, uint64_t got,
                   const std::string& expected_what, uint64_t expected) {
  if (got != expected)
    throw std::invalid_argument(std::string(op) + ": " + what + " (" + std::to_string(got) +
                                ") must equal " + expected_what + " (" + std::to_string(expected) +
                                ").");
}

void require_count(const char* op, const char* name, uint64_t count, uint64_t needed,
                   const std::string& why) {
  if (count < needed)
    throw std::invalid_argument(std::string(op) + ": " + name + " holds " + std::to_string(count) +
                                " values, fewer than the " + std::to_string(needed) + " needed (" +
                                why + ").");
}

void require_positive(const char* op, const char* name, int64_t value) {
  if (value < 1)
    throw std::invalid_argument(std::string(op) + ": " + name + " must be at least 1, got " +
                                std::to_string(value) + ".");
}

std::string shape_text(const Shape& shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + ")";
}

}  // namespace morla::ops::detail

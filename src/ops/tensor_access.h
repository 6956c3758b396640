#pragma once
// Checks that the operations run once, before their loops: element type, buffer length,
// rank and argument sizes. Size errors are std::invalid_argument naming both sizes.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/tensor.h"

namespace morla::ops::detail {

// The elements of a tensor as T after one type check ("Wrong requested type ...") and a
// check that the buffer holds every element of the shape.
template <typename T>
const T* elements(const Dense& tensor);
template <typename T>
T* mutable_elements(Dense& tensor);

// Number of elements described by the shape.
size_t element_count(const Dense& tensor);

// A new zero-filled tensor in layout 0; a zero dimension panics "Cannot have a shape with
// dimension %zu set to 0", more than 2^32 - 1 elements "Tensor shape size ...".
std::shared_ptr<Dense> make_dense(TensorType type, const Shape& shape);
// As make_dense, without the fill: for an operation whose loop writes every element.
std::shared_ptr<Dense> make_dense_unfilled(TensorType type, const Shape& shape);

// Dimensions and element strides in the order of layout 0 (a layout-1 tensor lists its
// dimensions reversed; this undoes it), for tensors addressed through their strides.
struct LogicalDims {
  std::vector<uint32_t> dims;
  std::vector<size_t> strides;
};
LogicalDims logical_dims(const Dense& tensor);

// "op: name must have N dimensions, got M."
void require_rank(const char* op, const char* name, size_t rank, size_t expected);
void require_rank(const char* op, const char* name, const Dense& tensor, size_t expected);
// "op: what (got) must equal expected_what (expected)."
void require_equal(const char* op, const std::string& what, uint64_t got,
                   const std::string& expected_what, uint64_t expected);
// "op: name holds N values, fewer than the M needed (why)."
void require_count(const char* op, const char* name, uint64_t count, uint64_t needed,
                   const std::string& why);
// "op: name must be at least 1, got N."
void require_positive(const char* op, const char* name, int64_t value);

// Text of a shape, "(2, 3, 4)".
std::string shape_text(const Shape& shape);

}  // namespace morla::ops::detail

#pragma once
// NumPy arrays to engine tensors and back. Both directions copy the elements: no tensor
// refers to NumPy memory and no array refers to engine memory.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>

#include "engine_api/tensor.h"

namespace morla::python {

namespace py = pybind11;

// Converts any object NumPy can turn into an array of T (forced cast, C order) into a new
// Dense of `type`, which the caller chooses among the types stored as T. Throws
// std::invalid_argument "Invalid source array." when NumPy cannot convert the object,
// std::invalid_argument "Cannot instantiate a Dense with N dimensions (min 1, max 4).\n"
// for 0 or more than 4 dimensions, std::invalid_argument for a dimension of 2^32 or
// more, and panics "Cannot have a shape with dimension %zu set to 0" on an empty one; an
// array is checked on its own shape before NumPy copies it. NumPy running out of memory
// stays a MemoryError.
// Instances: int8_t, uint8_t, int16_t, uint16_t, int32_t, float.
template <typename T>
std::shared_ptr<Dense> dense_from_numpy(py::handle object, TensorType type);

extern template std::shared_ptr<Dense> dense_from_numpy<int8_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<uint8_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<int16_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<uint16_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<int32_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<float>(py::handle, TensorType);

// A new NumPy array holding a copy of the tensor's elements, its dtype chosen by the
// tensor's element type (sub-byte types come back one element per byte as int8 or
// uint8). A tensor in layout 1 is presented with its axes reversed. Throws
// std::runtime_error "Unable to convert a tensor of type unknown\n" for a type above 10
// and std::invalid_argument for a missing tensor; NumPy running out of memory is a
// MemoryError.
py::array tensor_to_numpy(std::shared_ptr<const Tensor> tensor);

}  // namespace morla::python

#include "python/tensor_conversion.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "core/platform.h"

namespace morla::python {

namespace {

// The dimensions of an array as a Shape, checked in the order the conversion reports them.
Shape checked_shape(const py::array& array) {
  const auto n = static_cast<size_t>(array.ndim());
  if (n == 0 || n > Shape::kMaxDims)
    throw std::invalid_argument("Cannot instantiate a Dense with " + std::to_string(n) +
                                " dimensions (min 1, max 4).\n");
  std::vector<uint32_t> dims(n);
  for (size_t i = 0; i < n; ++i) {
    const auto dim = static_cast<uint64_t>(array.shape(static_cast<py::ssize_t>(i)));
    if (dim == 0) panic("Cannot have a shape with dimension %zu set to 0", i);
    if (dim > UINT32_MAX)
      throw std::invalid_argument("Dimension " + std::to_string(i) + " of the source array is " +
                                  std::to_string(dim) + ", above the maximum of " +
                                  std::to_string(UINT32_MAX) + ".");
    dims[i] = static_cast<uint32_t>(dim);
  }
  return Shape(dims);
}

}  // namespace

template <typename T>
std::shared_ptr<Dense> dense_from_numpy(py::handle object, TensorType type) {
  using CArray = py::array_t<T, py::array::c_style | py::array::forcecast>;
  if (!object) throw std::invalid_argument("Invalid source array.");
  // An array is checked on its own shape before NumPy copies it: a broadcast view stands
  // for far more memory than it takes.
  if (py::isinstance<py::array>(object)) checked_shape(py::reinterpret_borrow<py::array>(object));
  CArray array;
  try {
    array = CArray(py::reinterpret_borrow<py::object>(object));
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_MemoryError)) throw;  // MemoryError stays what it is
    throw std::invalid_argument("Invalid source array.");
  }
  const Shape shape = checked_shape(array);
  const uint64_t bytes = uint64_t{shape.element_count()} * sizeof(T);
  std::unique_ptr<Dense> dense =
      Dense::copy(reinterpret_cast<const char*>(array.data()), static_cast<size_t>(bytes), type,
                  shape, Dense::Layout::RowMajor);
  return std::shared_ptr<Dense>(std::move(dense));
}

template std::shared_ptr<Dense> dense_from_numpy<int8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<uint8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<int16_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<uint16_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<int32_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<float>(py::handle, TensorType);

namespace {

// The NumPy element type that holds one stored element of `type`.
py::dtype numpy_dtype(TensorType type) {
  switch (storage_type(type)) {
    case StorageType::int32: return py::dtype::of<int32_t>();
    case StorageType::float32: return py::dtype::of<float>();
    case StorageType::uint8: return py::dtype::of<uint8_t>();
    case StorageType::int16: return py::dtype::of<int16_t>();
    case StorageType::int8: return py::dtype::of<int8_t>();
    case StorageType::uint16: return py::dtype::of<uint16_t>();
    case StorageType::none: break;
  }
  throw std::runtime_error(std::string("Unable to convert a tensor of type ") +
                           Tensor::type_name(type) + "\n");
}

}  // namespace

py::array tensor_to_numpy(std::shared_ptr<const Tensor> tensor) {
  if (!tensor) throw std::invalid_argument("Cannot convert a missing tensor to an array.");
  const py::dtype dtype = numpy_dtype(tensor->type());
  const auto element = static_cast<size_t>(dtype.itemsize());

  const std::shared_ptr<const Dense> dense = Tensor::ensure_dense(std::move(tensor));
  const Shape shape = dense->shape();
  const std::vector<uint32_t> strides = dense->strides();
  const size_t n = shape.size();
  if (strides.size() < n) throw std::runtime_error("Tensor strides do not match its shape.");
  const bool reversed = dense->layout() == Dense::Layout::ColMajor;

  std::vector<py::ssize_t> np_shape(n), np_strides(n);
  size_t last = 0;  // offset of the last element, in elements
  for (size_t i = 0; i < n; ++i) {
    const size_t axis = reversed ? n - 1 - i : i;
    np_shape[i] = static_cast<py::ssize_t>(shape[axis]);
    np_strides[i] = static_cast<py::ssize_t>(size_t{strides[axis]} * element);
    last += size_t{shape[axis] - 1} * strides[axis];
  }
  // Never describe memory beyond the tensor's buffer.
  if ((last + 1) * element > dense->buffer().size())
    throw std::runtime_error("Tensor buffer is smaller than its shape and strides describe.");

  // Without a base object NumPy copies the described memory into a new array. A copy
  // that finds no memory leaves an empty array and NumPy's MemoryError pending.
  py::array array(dtype, std::move(np_shape), std::move(np_strides), dense->buffer().data());
  if (!array) throw py::error_already_set();
  return array;
}

}  // namespace morla::python

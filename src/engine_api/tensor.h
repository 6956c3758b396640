#pragma once
// The engine's tensor interfaces and the module's typed access to them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/shape.h"
#include "core/tensor_type.h"

namespace morla {

class Dense;

// The bytes behind a tensor.
class TensorBuffer {
 public:
  virtual ~TensorBuffer() = default;
  virtual size_t size() const = 0;       // bytes
  virtual const void* data() const = 0;  // read access
  virtual void* mutable_data() = 0;      // write access
};

class Tensor {
 public:
  virtual ~Tensor() = default;
  virtual TensorType type() const = 0;
  virtual size_t size() const = 0;  // elements
  virtual Shape shape() const = 0;
  virtual bool operator==(const Tensor& other) const = 0;
  virtual const TensorBuffer& buffer() const = 0;
  virtual TensorBuffer& buffer() = 0;

  // Name of an element type, "unknown" above 10.
  static const char* type_name(TensorType type);
  // A dense view of any tensor (engine).
  static std::shared_ptr<const Dense> ensure_dense(std::shared_ptr<const Tensor> tensor);

  // Typed access: the element type is checked once, then the raw buffer is returned.
  template <typename T>
  const T* data() const;
  template <typename T>
  T* mutable_data();
  // Checked element access by linear index.
  template <typename T>
  T get(size_t index) const;
  template <typename T>
  void set(size_t index, T value);

 protected:
  Tensor() = default;
  Tensor(const Tensor&) = default;
  Tensor& operator=(const Tensor&) { return *this; }
};

// Panics "Wrong requested type %s for a tensor of type %s" unless T is the
// storage type of the tensor's element type.
template <typename T>
void check_tensor_type(const Tensor& tensor);
extern template void check_tensor_type<int8_t>(const Tensor&);
extern template void check_tensor_type<uint8_t>(const Tensor&);
extern template void check_tensor_type<int16_t>(const Tensor&);
extern template void check_tensor_type<uint16_t>(const Tensor&);
extern template void check_tensor_type<int32_t>(const Tensor&);
extern template void check_tensor_type<float>(const Tensor&);

// Panics when `index` is not below the tensor's element count.
void check_tensor_index(const Tensor& tensor, size_t index);

class Dense : public Tensor {
 public:
  // Layout 0 lists the dimensions with the last one fastest (row-major); layout 1
  // lists them in the opposite order over the same bytes (first one fastest).
  enum class Layout : int32_t { RowMajor = 0, ColMajor = 1 };

  virtual Layout layout() const = 0;
  // Element stride of each dimension.
  virtual std::vector<uint32_t> strides() const = 0;

  using Tensor::operator==;
  // Same type, layout, shape, size and bytes.
  bool operator==(const Dense& other) const;

  // Engine factories.
  static std::unique_ptr<Dense> create(TensorType type, const Shape& shape, Layout layout);
  // As create, without the zero fill: for a caller that writes every element before the
  // tensor is read or handed on.
  static std::unique_ptr<Dense> create_unfilled(TensorType type, const Shape& shape,
                                                Layout layout);
  static std::unique_ptr<Dense> copy(const char* data, size_t bytes, TensorType type,
                                     const Shape& shape, Layout layout);
  // One tensor per index of the first dimension, in order.
  static std::vector<std::shared_ptr<const Tensor>> split(const Dense& dense);
  static std::vector<uint32_t> eval_strides(const Shape& shape, Layout layout);
};

template <typename T>
const T* Tensor::data() const {
  check_tensor_type<T>(*this);
  return static_cast<const T*>(buffer().data());
}

template <typename T>
T* Tensor::mutable_data() {
  check_tensor_type<T>(*this);
  return static_cast<T*>(buffer().mutable_data());
}

template <typename T>
T Tensor::get(size_t index) const {
  check_tensor_index(*this, index);
  return data<T>()[index];
}

template <typename T>
void Tensor::set(size_t index, T value) {
  check_tensor_index(*this, index);
  mutable_data<T>()[index] = value;
}

}  // namespace morla

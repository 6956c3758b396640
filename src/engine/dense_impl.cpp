#include "engine/dense_impl.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace morla {
namespace engine {

size_t checked_bytes(TensorType type, const Shape& shape, Dense::Layout layout) {
  const size_t element = storage_size(type);
  if (element == 0)
    throw std::invalid_argument("Cannot create a tensor of unknown type " +
                                std::to_string(static_cast<int>(type)));
  if (shape.size() == 0) throw std::invalid_argument("Cannot create a tensor with an empty shape");
  if (layout != Dense::Layout::RowMajor && layout != Dense::Layout::ColMajor)
    throw std::invalid_argument("Unknown tensor layout " +
                                std::to_string(static_cast<int>(layout)));
  return shape.element_count() * element;
}

bool DenseFields::operator==(const Tensor& other) const {
  if (const auto* dense = dynamic_cast<const Dense*>(&other)) return Dense::operator==(*dense);
  if (type() != other.type() || shape() != other.shape()) return false;
  const size_t n = buffer().size();
  return other.buffer().size() == n &&
         (n == 0 || std::memcmp(buffer().data(), other.buffer().data(), n) == 0);
}

}  // namespace engine

std::unique_ptr<Dense> Dense::create(TensorType type, const Shape& shape, Layout layout) {
  return std::make_unique<engine::DenseImpl>(type, shape, layout);
}

std::unique_ptr<Dense> Dense::create_unfilled(TensorType type, const Shape& shape,
                                              Layout layout) {
  return std::make_unique<engine::DenseImpl>(type, shape, layout, engine::ByteBuffer::Fill::None);
}

std::unique_ptr<Dense> Dense::copy(const char* data, size_t bytes, TensorType type,
                                   const Shape& shape, Layout layout) {
  // Checked before the storage is made, which is then filled by the copy alone.
  const size_t expected = engine::checked_bytes(type, shape, layout);
  if (bytes != expected)
    throw std::invalid_argument("Cannot copy " + std::to_string(bytes) + " bytes into a " +
                                Tensor::type_name(type) + " tensor of " +
                                std::to_string(shape.element_count()) + " elements (" +
                                std::to_string(expected) + " bytes)");
  auto dense =
      std::make_unique<engine::DenseImpl>(type, shape, layout, engine::ByteBuffer::Fill::None);
  if (bytes != 0) std::memcpy(dense->buffer().mutable_data(), data, bytes);
  return dense;
}

std::vector<uint32_t> Dense::eval_strides(const Shape& shape, Layout layout) {
  const size_t n = shape.size();
  std::vector<uint32_t> strides(n, 1);
  if (layout == Layout::ColMajor) {
    for (size_t i = 1; i < n; ++i) strides[i] = strides[i - 1] * shape[i - 1];
  } else {
    for (size_t i = n; i-- > 1;) strides[i - 1] = strides[i] * shape[i];
  }
  return strides;
}

std::vector<std::shared_ptr<const Tensor>> Dense::split(const Dense& dense) {
  const Shape shape = dense.shape();
  const size_t n = shape.size();
  std::vector<uint32_t> inner_dims(shape.begin() + 1, shape.end());
  if (inner_dims.empty()) inner_dims.push_back(1);
  const Shape inner(inner_dims);
  const size_t element = storage_size(dense.type());
  const size_t inner_count = inner.element_count();
  const auto strides = dense.strides();
  const auto* src = static_cast<const uint8_t*>(dense.buffer().data());

  std::vector<std::shared_ptr<const Tensor>> pieces;
  pieces.reserve(shape[0]);
  for (uint32_t i = 0; i < shape[0]; ++i) {
    auto piece = std::make_shared<engine::DenseImpl>(dense.type(), inner, dense.layout());
    auto* dst = static_cast<uint8_t*>(piece->buffer().mutable_data());
    if (dense.layout() == Dense::Layout::RowMajor) {
      std::memcpy(dst, src + size_t{i} * strides[0] * element, inner_count * element);
    } else {
      // First dimension fastest: gather every element of slice i.
      const auto inner_strides = piece->strides();
      for (size_t k = 0; k < inner_count; ++k) {
        size_t offset = i;
        for (size_t d = n; d-- > 1;) {
          const size_t index = (k / inner_strides[d - 1]) % shape[d];
          offset += index * strides[d];
        }
        std::memcpy(dst + k * element, src + offset * element, element);
      }
    }
    pieces.push_back(std::move(piece));
  }
  return pieces;
}

std::shared_ptr<const Dense> Tensor::ensure_dense(std::shared_ptr<const Tensor> tensor) {
  if (!tensor) return nullptr;
  if (auto dense = std::dynamic_pointer_cast<const Dense>(tensor)) return dense;
  const auto& buffer = tensor->buffer();
  return Dense::copy(static_cast<const char*>(buffer.data()), buffer.size(), tensor->type(),
                     tensor->shape(), Dense::Layout::RowMajor);
}

}  // namespace morla

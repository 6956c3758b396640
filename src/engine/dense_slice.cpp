#include "engine/dense_slice.h"

#include <stdexcept>
#include <string>

namespace morla::engine {

DenseSlice::DenseSlice(TensorType type, const Shape& shape, Layout layout,
                       std::shared_ptr<uint8_t[]> block, uint8_t* data, size_t size)
    : DenseFields(type, shape, layout), buffer_(std::move(block), data, size) {
  const size_t expected = checked_bytes(type, shape, layout);
  if (size != expected)
    throw std::invalid_argument("Cannot view " + std::to_string(size) + " bytes as a " +
                                Tensor::type_name(type) + " tensor of " + std::to_string(expected) +
                                " bytes");
}

}  // namespace morla::engine

#pragma once
// The stand-in engine's dense tensor: contiguous bytes in layout 0 or 1.
#include <memory>
#include <vector>

#include "core/tensor.h"

namespace morla::engine {

class ByteBuffer final : public TensorBuffer {
 public:
  explicit ByteBuffer(size_t bytes) : bytes_(bytes, 0) {}
  size_t size() const override { return bytes_.size(); }
  const void* data() const override { return bytes_.data(); }
  void* mutable_data() override { return bytes_.data(); }

 private:
  std::vector<uint8_t> bytes_;
};

class DenseImpl final : public Dense {
 public:
  // Zero-filled; refuses an unknown element type or an empty shape.
  DenseImpl(TensorType type, const Shape& shape, Layout layout);

  TensorType type() const override { return type_; }
  size_t size() const override { return shape_.element_count(); }
  Shape shape() const override { return shape_; }
  bool operator==(const Tensor& other) const override;
  const TensorBuffer& buffer() const override { return buffer_; }
  TensorBuffer& buffer() override { return buffer_; }
  Layout layout() const override { return layout_; }
  std::vector<uint32_t> strides() const override { return eval_strides(shape_, layout_); }

 private:
  TensorType type_;
  Shape shape_;
  Layout layout_;
  ByteBuffer buffer_;
};

}  // namespace morla::engine

#pragma once
// A read-only dense tensor over bytes owned elsewhere, e.g. a variable inside a serialized
// model shown to a variable store, which copies it. It must not outlive those bytes.
#include <cstdint>
#include <stdexcept>

#include "engine/dense_impl.h"

namespace morla::engine {

class BorrowedBuffer final : public TensorBuffer {
 public:
  BorrowedBuffer(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t size() const override { return size_; }
  const void* data() const override { return data_; }
  void* mutable_data() override { throw std::logic_error("A borrowed tensor is read-only."); }

 private:
  const uint8_t* data_;
  size_t size_;
};

class DenseView final : public DenseFields {
 public:
  // Refuses an unknown element type or layout, an empty shape and a size that is not the
  // shape's.
  DenseView(TensorType type, const Shape& shape, Layout layout, const uint8_t* data, size_t size);

  const TensorBuffer& buffer() const override { return buffer_; }
  TensorBuffer& buffer() override { return buffer_; }

 private:
  BorrowedBuffer buffer_;
};

}  // namespace morla::engine

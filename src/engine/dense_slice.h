#pragma once
// A dense tensor over a slice of a block of bytes that several tensors share, e.g. a
// variable inside the decompressed model file its model was built from. Each slice belongs
// to one tensor alone, so writing it touches no other tensor; the block lives as long as
// any tensor over it.
#include <cstdint>
#include <memory>

#include "engine/dense_impl.h"

namespace morla::engine {

class SliceBuffer final : public TensorBuffer {
 public:
  SliceBuffer(std::shared_ptr<uint8_t[]> block, uint8_t* data, size_t size)
      : block_(std::move(block)), data_(data), size_(size) {}
  size_t size() const override { return size_; }
  const void* data() const override { return data_; }
  void* mutable_data() override { return data_; }

 private:
  std::shared_ptr<uint8_t[]> block_;
  uint8_t* data_;
  size_t size_;
};

class DenseSlice final : public DenseFields {
 public:
  // `data` lies inside `block`, and no other tensor uses its `size` bytes. Refuses an
  // unknown element type or layout, an empty shape and a size that is not the shape's.
  DenseSlice(TensorType type, const Shape& shape, Layout layout, std::shared_ptr<uint8_t[]> block,
             uint8_t* data, size_t size);

  const TensorBuffer& buffer() const override { return buffer_; }
  TensorBuffer& buffer() override { return buffer_; }

 private:
  SliceBuffer buffer_;
};

}  // namespace morla::engine

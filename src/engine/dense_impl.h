#pragma once
// The stand-in engine's dense tensor: contiguous bytes in layout 0 or 1.
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "core/block_cache.h"
#include "engine_api/tensor.h"

namespace morla::engine {

// Bytes of a tensor of that type and shape; refuses an unknown element type or layout and an
// empty shape.
size_t checked_bytes(TensorType type, const Shape& shape, Dense::Layout layout);

// What the engine's dense tensors answer from their type, shape and layout; the storage is
// each one's own.
class DenseFields : public Dense {
 public:
  TensorType type() const override { return type_; }
  size_t size() const override { return shape_.element_count(); }
  Shape shape() const override { return shape_; }
  Layout layout() const override { return layout_; }
  std::vector<uint32_t> strides() const override { return eval_strides(shape_, layout_); }
  // Dense::operator== when `other` is dense, else the same type, shape and bytes.
  bool operator==(const Tensor& other) const override;

 protected:
  DenseFields(TensorType type, const Shape& shape, Layout layout)
      : type_(type), shape_(shape), layout_(layout) {}

 private:
  TensorType type_;
  Shape shape_;
  Layout layout_;
};

// Heap bytes, zero-filled or left for the caller to overwrite. Large blocks come from the
// block cache (block_cache.h), which keeps a few freed ones for the next tensors.
class ByteBuffer final : public TensorBuffer {
 public:
  enum class Fill { Zeros, None };
  ByteBuffer(size_t bytes, Fill fill)
      : bytes_(static_cast<uint8_t*>(acquire_block(bytes, fill == Fill::Zeros)), Release{bytes}),
        size_(bytes) {}
  size_t size() const override { return size_; }
  const void* data() const override { return bytes_.get(); }
  void* mutable_data() override { return bytes_.get(); }

 private:
  struct Release {
    size_t bytes;
    void operator()(uint8_t* p) const { release_block(p, bytes); }
  };
  std::unique_ptr<uint8_t, Release> bytes_;
  size_t size_;
};

class DenseImpl final : public DenseFields {
 public:
  // Zero-filled unless told otherwise; refuses an unknown element type or layout and an empty
  // shape.
  DenseImpl(TensorType type, const Shape& shape, Layout layout,
            ByteBuffer::Fill fill = ByteBuffer::Fill::Zeros)
      : DenseFields(type, shape, layout), buffer_(checked_bytes(type, shape, layout), fill) {}

  const TensorBuffer& buffer() const override { return buffer_; }
  TensorBuffer& buffer() override { return buffer_; }

 private:
  ByteBuffer buffer_;
};

}  // namespace morla::engine

#pragma once
// Writable bytes with a single owner, handed on by moving: a producer (a decompressed model
// file) gives its buffer whole to a consumer that keeps it (the engine builds a model's
// variables over it) instead of a copy. Nothing else can reach the bytes once given up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "core/block_cache.h"
#include "core/byte_range.h"

namespace morla {

class OwnedBytes {
 public:
  OwnedBytes() = default;
  struct Free {
    size_t size = 0;
    void operator()(uint8_t* bytes) const { release_block(bytes, size); }
  };
  using Storage = std::unique_ptr<uint8_t[], Free>;

  // Storage for bytes about to be overwritten: not zero-filled, starting on a cache line
  // (block_cache.h: large blocks are reused).
  static OwnedBytes uninitialized(size_t size) {
    auto* bytes = static_cast<uint8_t*>(acquire_block(size, false));
    return OwnedBytes(Storage(bytes, Free{size}), size);
  }

  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  const uint8_t* begin() const { return data(); }
  const uint8_t* end() const { return data() + size_; }
  ByteRange range() const { return {data(), size_}; }

  // Gives the storage up to its next owner; this object is empty afterwards.
  Storage release() {
    size_ = 0;
    return std::move(bytes_);
  }

 private:
  OwnedBytes(Storage bytes, size_t size) : bytes_(std::move(bytes)), size_(size) {}

  Storage bytes_;
  size_t size_ = 0;
};

}  // namespace morla

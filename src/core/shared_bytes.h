#pragma once
// Read-only bytes kept alive by a shared owner: a producer hands out its own buffer (a
// FlatBuffers builder's, a decompressed file) instead of a copy.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/byte_range.h"

namespace morla {

class SharedBytes {
 public:
  SharedBytes() = default;
  SharedBytes(std::shared_ptr<const void> owner, const uint8_t* data, size_t size)
      : owner_(std::move(owner)), data_(data), size_(size) {}

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  const uint8_t* begin() const { return data_; }
  const uint8_t* end() const { return data_ + size_; }
  ByteRange range() const { return {data_, size_}; }
  std::vector<uint8_t> to_vector() const { return {begin(), end()}; }

 private:
  std::shared_ptr<const void> owner_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace morla

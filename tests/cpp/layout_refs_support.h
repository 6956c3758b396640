#pragma once
// What the layout reference tests share: random integers, logical weight arrays written into
// engine tensors, and bit setting in word buffers.
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "engine_api/tensor.h"

namespace morla::layout_refs {

// A uniform integer in [low, high] from a generator seeded per case.
class Random {
 public:
  explicit Random(uint32_t seed) : engine_(seed) {}
  int64_t operator()(int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(engine_);
  }

 private:
  std::mt19937 engine_;
};

// A four-dimension array of small integers, indexed in its own order (a, b, c, d).
struct Array4 {
  uint32_t dims[4];
  std::vector<int> values;
  Array4(uint32_t a, uint32_t b, uint32_t c, uint32_t d, Random& random, int low, int high)
      : dims{a, b, c, d}, values(size_t{a} * b * c * d) {
    for (int& v : values) v = static_cast<int>(random(low, high));
  }
  int operator()(uint32_t a, uint32_t b, uint32_t c, uint32_t d) const {
    return values[((size_t{a} * dims[1] + b) * dims[2] + c) * dims[3] + d];
  }
  // A tensor of these dimensions holding the values as bytes, through its strides.
  std::shared_ptr<Dense> tensor(TensorType type, Dense::Layout layout) const {
    std::shared_ptr<Dense> t(
        Dense::create(type, Shape{dims[0], dims[1], dims[2], dims[3]}, layout));
    const auto s = t->strides();
    auto* bytes = static_cast<uint8_t*>(t->buffer().mutable_data());
    for (uint32_t a = 0; a < dims[0]; ++a)
      for (uint32_t b = 0; b < dims[1]; ++b)
        for (uint32_t c = 0; c < dims[2]; ++c)
          for (uint32_t d = 0; d < dims[3]; ++d)
            bytes[a * s[0] + b * s[1] + c * s[2] + d * s[3]] =
                static_cast<uint8_t>((*this)(a, b, c, d));
    return t;
  }
};

// Sets bit `bit` of the bit string that starts at word `base`.
inline void set_bit(std::vector<uint32_t>& words, size_t base, uint64_t bit) {
  words.at(base + bit / 32) |= 1u << (bit % 32);
}

// Whether `needle` appears as consecutive words in `bytes`, at a word boundary.
inline bool holds_words(const uint8_t* bytes, size_t size, const std::vector<uint32_t>& needle) {
  const size_t length = needle.size() * 4;
  for (size_t at = 0; at + length <= size; at += 4)
    if (std::memcmp(bytes + at, needle.data(), length) == 0) return true;
  return false;
}

}  // namespace morla::layout_refs

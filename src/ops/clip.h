#pragma once
// Clipping to a signed bit width and saturation to 32 bits, shared by the operations.
#include <cstdint>

namespace morla::ops {

// Bounds of the clip to `bits`: [-2^b, 2^b - 1] with b = (bits - 1) modulo 64, so bits
// 1..32 give the signed range of that width and bits 0 or 33..64 clip no 32-bit value.
struct ClipRange {
  int64_t low;
  int64_t high;
};

constexpr ClipRange clip_range(int32_t bits) {
  const unsigned b = (static_cast<uint32_t>(bits) - 1u) & 63u;
  const uint64_t magnitude = uint64_t{1} << b;
  return {static_cast<int64_t>(uint64_t{0} - magnitude), static_cast<int64_t>(magnitude - 1)};
}

constexpr int64_t clip(int64_t value, ClipRange range) {
  return value < range.low ? range.low : (value > range.high ? range.high : value);
}

constexpr int64_t clip(int64_t value, int32_t bits) { return clip(value, clip_range(bits)); }

// A 64-bit result stored in a 32-bit element saturates instead of wrapping.
constexpr int32_t saturate_int32(int64_t value) {
  return value < INT32_MIN ? INT32_MIN : (value > INT32_MAX ? INT32_MAX : int32_t(value));
}

}  // namespace morla::ops

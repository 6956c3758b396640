#pragma once
#include <cstddef>
#include <cstdint>

namespace morla {

// Element type of a tensor. Sub-byte types are stored one value per byte.
enum class TensorType : int32_t {
  int32 = 0,
  float32 = 1,
  uint8 = 2,
  int16 = 3,
  int8 = 4,
  int4 = 5,
  int2 = 6,
  uint4 = 7,
  uint2 = 8,
  bit = 9,
  uint16 = 10,
};

// The storage element type of a tensor type, as a code for typed access.
enum class StorageType { none, int8, uint8, int16, uint16, int32, float32 };

StorageType storage_type(TensorType type);
// Bytes per stored element (0 for an unknown type).
size_t storage_size(TensorType type);
// The run-time name of a storage type: "signed char", "unsigned char", ...
const char* storage_type_name(StorageType type);

template <typename T>
constexpr StorageType storage_of();
template <>
constexpr StorageType storage_of<int8_t>() {
  return StorageType::int8;
}
template <>
constexpr StorageType storage_of<uint8_t>() {
  return StorageType::uint8;
}
template <>
constexpr StorageType storage_of<int16_t>() {
  return StorageType::int16;
}
template <>
constexpr StorageType storage_of<uint16_t>() {
  return StorageType::uint16;
}
template <>
constexpr StorageType storage_of<int32_t>() {
  return StorageType::int32;
}
template <>
constexpr StorageType storage_of<float>() {
  return StorageType::float32;
}

}  // namespace morla

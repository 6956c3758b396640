#include "core/tensor_type.h"

namespace morla {

StorageType storage_type(TensorType type) {
  switch (type) {
    case TensorType::int32: return StorageType::int32;
    case TensorType::float32: return StorageType::float32;
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return StorageType::uint8;
    case TensorType::int16: return StorageType::int16;
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return StorageType::int8;
    case TensorType::uint16: return StorageType::uint16;
  }
  return StorageType::none;
}

size_t storage_size(TensorType type) {
  switch (storage_type(type)) {
    case StorageType::int8:
    case StorageType::uint8: return 1;
    case StorageType::int16:
    case StorageType::uint16: return 2;
    case StorageType::int32:
    case StorageType::float32: return 4;
    case StorageType::none: return 0;
  }
  return 0;
}

const char* storage_type_name(StorageType type) {
  switch (type) {
    case StorageType::int8: return "signed char";
    case StorageType::uint8: return "unsigned char";
    case StorageType::int16: return "short";
    case StorageType::uint16: return "unsigned short";
    case StorageType::int32: return "int";
    case StorageType::float32: return "float";
    case StorageType::none: return "unknown";
  }
  return "unknown";
}

}  // namespace morla

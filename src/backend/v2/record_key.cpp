#include "backend/v2/record_key.h"

#include <cstring>

namespace morla::v2 {

uint32_t record_key(const Device& device) {
  const HwVersion version = device.version();
  static_assert(sizeof(version) == sizeof(uint32_t));
  uint32_t key = 0;
  std::memcpy(&key, &version, sizeof(key));
  return key;
}

}  // namespace morla::v2

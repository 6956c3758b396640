#include "contract/field_checks.h"

#include "core/platform.h"

namespace morla {

uint32_t signed_field(int32_t value, uint32_t bits) {
  const int64_t low = -(int64_t{1} << (bits - 1));
  const int64_t high = (int64_t{1} << (bits - 1)) - 1;
  if (value < low || value > high)
    panic("%d cannot fit in a %d-bit signed integer", value, static_cast<int>(bits));
  return static_cast<uint32_t>(value) & ((uint32_t{1} << bits) - 1);
}

uint32_t unsigned_field(uint32_t value, uint32_t bits) {
  if (bits < 32 && value >= (uint32_t{1} << bits))
    panic("%u cannot fit in a %u-bit unsigned integer", value, bits);
  return value;
}

}  // namespace morla

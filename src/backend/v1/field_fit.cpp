#include "backend/v1/field_fit.h"

#include "core/platform.h"

namespace morla::v1 {

uint32_t fit_signed(int32_t value, int bits) {
  const int64_t high = (int64_t{1} << (bits - 1)) - 1;
  const int64_t low = -high - 1;
  if (value < low || value > high) panic("%d cannot fit in a %d-bit signed integer", value, bits);
  return static_cast<uint32_t>(value) & static_cast<uint32_t>((uint64_t{1} << bits) - 1);
}

}  // namespace morla::v1

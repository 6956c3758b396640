#pragma once
// Range checks of values packed into hardware words. A value outside its field panics
// ("%d cannot fit in a %d-bit signed integer", "%u cannot fit in a %u-bit unsigned integer").
#include <cstdint>

namespace morla {

// The value's two's complement in `bits` bits.
uint32_t signed_field(int32_t value, uint32_t bits);
uint32_t unsigned_field(uint32_t value, uint32_t bits);

}  // namespace morla

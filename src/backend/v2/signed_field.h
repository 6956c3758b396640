#pragma once
// Range-checked packing of values into hardware fields narrower than their C++ type.
#include <cstdint>

namespace morla::v2 {

// The two's complement of `value` in a field of `bits` bits; a value outside the field's
// signed range panics "%d cannot fit in a %d-bit signed integer".
uint32_t to_signed_field(int32_t value, int bits);

// `value` itself; a value of `bits` bits or more panics
// "%u cannot fit in a %u-bit unsigned integer".
uint32_t to_unsigned_field(uint32_t value, unsigned bits);

}  // namespace morla::v2

#pragma once
// Values that must fit a hardware field of a given width: out-of-range values stop through
// panic ("%d cannot fit in a %d-bit signed integer").
#include <cstdint>

namespace morla::v1 {

// The low `bits` bits of `value`, which must lie in -2^(bits-1) .. 2^(bits-1) - 1.
uint32_t fit_signed(int32_t value, int bits);

}  // namespace morla::v1

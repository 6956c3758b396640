#pragma once
// Scalar shift rules and the per-channel shift operations built on them.
#include <cstdint>
#include <memory>

#include "engine_api/tensor.h"

namespace morla::ops {

// Scalar rules. The signed rules take a shift of -128..127 (negative shifts right); the
// unsigned ones take 0..255, so an unsigned shift byte of 128 or more is refused as too
// large rather than read as negative. Left shifts saturate to the int64 range. Shifts of
// 32 or more throw std::runtime_error "Cannot perform a left shift higher than 31." or
// "Cannot perform a right shift higher than 31.".
int64_t shift_round(int64_t value, int32_t shift);  // right shifts round half up
int64_t shift_floor(int64_t value, int32_t shift);  // right shifts round down
int64_t lshift_saturate(int64_t value, uint32_t shift);
int64_t rshift_round(int64_t value, uint32_t shift);
int64_t rshift_floor(int64_t value, uint32_t shift);

enum class ShiftRule { round, floor, lshift_saturate, rshift_round, rshift_floor };

// Element e of the int32 `inputs` becomes clip(rule(inputs[e], shifts[e mod C]), bits),
// saturated to int32, where C is the last dimension of `inputs`. `shifts` holds at least
// C values, read as int8_t for the signed rules and as uint8_t for the unsigned ones.
// Every shift is checked before any element is computed.
// No layer of the engine calls it: it is there for callers of the reference operations.
std::shared_ptr<Dense> apply_channel_shift(const Dense& inputs, const Dense& shifts, ShiftRule rule,
                                           int32_t bits);

// Saturating left shift by uint8 shifts.
std::shared_ptr<Dense> lshift(const Dense& inputs, const Dense& shifts, int32_t bits);
// int8 shifts: floor rule; any other shift type is read as uint8 left shifts.
std::shared_ptr<Dense> shift(const Dense& inputs, const Dense& shifts, int32_t bits);
// int8 shifts: round rule; any other shift type is read as uint8 left shifts. The result is
// int8 for 1 <= bits <= 8 and int32 above; a width below 1 is refused (ValueError).
std::shared_ptr<Dense> shift_out(const Dense& inputs, const Dense& shifts, int32_t bits);
// Right shifts by uint8 shifts, rounding down or half up.
std::shared_ptr<Dense> rshift_floor_per_channel(const Dense& inputs, const Dense& shifts,
                                                int32_t bits);
std::shared_ptr<Dense> rshift_round_per_channel(const Dense& inputs, const Dense& shifts,
                                                int32_t bits);

}  // namespace morla::ops

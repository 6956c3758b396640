#pragma once
// Per-channel shifts of values that fit 32 bits, as branch-free loops: every channel's
// shift as x << left, then (x >> right) + ((x >> half) & round). Exact for such values,
// where a left shift of at most 31 cannot leave int64, so the saturation test of the
// scalar rules (shift.h) never fires. Amounts are checked by the caller first.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ops/shift.h"

namespace morla::ops {

struct ShiftPlan {
  std::vector<int64_t> left, right, half, round;
};

// `amounts` as the scalar rule reads them: signed for round and floor (negative shifts
// right), unsigned for the others; each within -31..31 / 0..31.
ShiftPlan plan_shifts(ShiftRule rule, const std::vector<int32_t>& amounts);

// out[e] = clamp(shift_c(in[e]), low, high) with c = e mod channels.
void shift_clamp_rows(const int32_t* in, size_t count, size_t channels, const ShiftPlan& plan,
                      int64_t low, int64_t high, int32_t* out);

// out[e] = clamp(shift_c(clamp(scale[c] * in[e], acc_low, acc_high)), low, high), for
// accumulator bounds within 32 bits.
void scale_shift_clamp_rows(const int32_t* in, const int64_t* scales, size_t count,
                            size_t channels, const ShiftPlan& plan, int64_t acc_low,
                            int64_t acc_high, int64_t low, int64_t high, int32_t* out);

}  // namespace morla::ops

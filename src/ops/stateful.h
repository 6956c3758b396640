#pragma once
// Operations of the stateful recurrent and post-processing layers.
#include <cstdint>
#include <memory>
#include <utility>

#include "engine_api/tensor.h"

namespace morla::ops {

// Complex state update over T time steps of x int32 (d0, T, K) (the first sequence is read):
// per channel k, new re = clip(clip(clip(a*re) - clip(b*im)) + x), new im = clip(clip(b*re) +
// clip(a*im)) (clip to `bits`), then both states go through shift_out(., shifts, out_bits).
// re, im int32 and a, b int16 hold at least K values; out_bits must give int32 results
// (above 8). Returns the re and im sequences, each shaped like x.
std::pair<std::shared_ptr<Dense>, std::shared_ptr<Dense>> stateful_main_op(
    const Dense& x, const Dense& shifts, const Dense& re, const Dense& im, const Dense& a,
    const Dense& b, int32_t bits, int32_t out_bits);

// The last step of each window of `stride` steps of x int32 (1, T, C): (1, T / stride, C).
// A stride of 0 is refused (std::invalid_argument).
std::shared_ptr<Dense> subsampling_op(const Dense& x, uint8_t stride);

// Per channel: v = shift_round(clip(scale * x, acc_bits), shift), then by out_bits: 1..4 uint8
// [0, 2^out_bits - 1]; 5..8 int8; 16 int16 [-32768, 32767] (scales uint16 or uint8); other
// int32 clipped to out_bits. Scales are uint8 except for 16; shifts int8. out_bits < 1 is
// refused (std::invalid_argument).
std::shared_ptr<Dense> scale_out(const Dense& x, const Dense& scales, const Dense& shifts,
                                 int32_t out_bits, uint8_t acc_bits);

// Mean absolute difference of q and p (int16, q shaped (d0, d1, d2), p at least as large)
// over axis 1, with clip to `bits` at every step: (d0, 1, d2) int32 when raw, else a bit
// tensor of mean > thresholds[c] (uint16, at least d2 values).
std::shared_ptr<Dense> motepostprocessing_op(const Dense& p, const Dense& q,
                                             const Dense& thresholds, int32_t bits, bool raw);

}  // namespace morla::ops

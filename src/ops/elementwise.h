#pragma once
// Element-wise and channel operations over row-major tensors, channel last.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine_api/tensor.h"

namespace morla::ops {

// clip(a + b, bits) with a int32 (d0, d1, d2) and b int32 of shape (d2), (d1, d2) or
// (d0, d1, d2), broadcast over the leading dimensions of a.
std::shared_ptr<Dense> add(const Dense& a, const Dense& b, int32_t bits);

// Tensors (d0, d1, c_i) joined along the last axis, in the first tensor's type: int32, int8
// or the unsigned 8-bit types (bit included, stored as int8). Another first type gives an
// empty pointer. All tensors must share d0, d1 and the storage type.
std::shared_ptr<Dense> concatenate(const std::vector<std::shared_ptr<Dense>>& tensors);

// min(in, max_values[c]) when that is at least 1, else 0. inputs int32 (X, Y, C).
std::shared_ptr<Dense> relu_activation(const Dense& inputs, const Dense& max_values);

// lut[L/2 + v] for each index v; an index outside [-L/2, L/2) throws std::out_of_range
// "morla::ops::look_up: Index <v> is out of bounds.".
std::shared_ptr<Dense> look_up(const Dense& lut, const Dense& indices);

// float32: (float)in * scales[c], C the last dimension.
std::shared_ptr<Dense> dequantize(const Dense& inputs, const Dense& scales);

// add(a, lshift(b, shifts, bits), bits) on int32 copies of a and b.
std::shared_ptr<Dense> lshift_add(const Dense& a, const Dense& b, const Dense& shifts,
                                  int32_t bits);
// shift_out(add(lshift(a, a_shifts, bits), lshift(b, b_shifts, bits), bits), out_shifts,
// out_bits) on int32 copies of a and b.
std::shared_ptr<Dense> shifted_add(const Dense& a, const Dense& b, const Dense& a_shifts,
                                   const Dense& b_shifts, const Dense& out_shifts, int32_t out_bits,
                                   int32_t bits);

// uint8 levels of inputs (uint8 or int32, (X, Y, C)) above per-channel thresholds with
// per-channel steps; any other input type gives an empty pointer. A step whose 16-fold
// is 0 in 32 bits is refused.
std::shared_ptr<Dense> quantized_activation(const Dense& inputs, const Dense& thresholds,
                                            const Dense& steps, uint8_t bits);

// Moves each FIFO (int8 or uint8, (A, B, D, ...)) one entry down along axis 2, dropping the
// oldest, and writes the next entry of `frame` (same element type, at least A*B entries)
// last. Other FIFO types throw std::runtime_error "Unexpected FIFO type.".
void fifo_op(Dense& fifo, const Dense& frame);

}  // namespace morla::ops

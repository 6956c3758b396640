#pragma once
// The bit layouts of v1 CNP weights in 64-bit weight slots (two program words: slot bit p
// lies in the first word when p < 32, else in the second at p - 32). Weight tensors are
// int8-stored, dimensions (filters, input channels, kernel rows, kernel columns), read
// through their strides.
#include <cstdint>
#include <vector>

#include "engine_api/tensor.h"

namespace morla::v1 {

// Two's complement codes; values out of range panic "%d cannot fit in a %d-bit signed
// integer".
uint32_t signed_code4(int value);
uint32_t signed_code2(int value);

// 4-bit standard weights of filters start .. start + count - 1.
std::vector<uint32_t> pack_cnp_weights(const Dense& weights, uint32_t start, uint32_t count);
// 1- and 2-bit standard weights as bit planes (1 -> positive plane, -1 -> negative plane
// when two planes are used); a 1x1 kernel always uses two planes.
std::vector<uint32_t> format_cnp_weights(const Dense& weights, bool two_planes, uint32_t start,
                                         uint32_t count);
// The depthwise weights (1, C, k, k) of a separable CNP.
std::vector<uint32_t> format_depthwise_weights(const Dense& weights, int weights_bits);
// The pointwise weights of a separable CNP: rows of the tensor's first dimension, one per
// input channel, filters start .. start + count - 1 of each.
std::vector<uint32_t> format_pointwise_weights(const Dense& weights, int weights_bits,
                                               uint32_t start, uint32_t count);

}  // namespace morla::v1

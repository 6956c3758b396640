#pragma once
// The weight memory of a v2 CNP: 100-bit containers, the weight format number the NP is
// told, and the word images of standard (k, k, C, F) and depthwise (k, k, 1, C) weights.
#include <cstdint>
#include <vector>

#include "engine_api/tensor.h"

namespace morla::v2 {

// Bytes of CNP weight memory taken by `containers` 100-bit containers.
uint32_t weight_container_bytes(uint32_t containers);

// Weight format of a standard layer: 0 (4-bit, or 8-bit kernel 7) or 1.
uint32_t cnp_weight_format(uint32_t kernel_size, uint32_t bits);
uint32_t depthwise_weight_format(uint32_t kernel_size, uint32_t bits);

// Containers per input channel of a standard layer for `filters` filters.
uint32_t ch_cont_size(uint32_t kernel_size, uint32_t filters, uint32_t bits);
// Containers of a depthwise layer for `channels` channels.
uint32_t depthwise_ch_cont_size(uint32_t kernel_size, uint32_t channels, uint32_t bits);

// The image of filters first .. first + count - 1 of every input channel. Weight bits other
// than 8 follow the 4-bit layout.
std::vector<uint32_t> format_cnp_weights(const Dense& weights, uint32_t first, uint32_t count,
                                         uint32_t bits);
// The image of channels first .. first + count - 1.
std::vector<uint32_t> format_depthwise_weights(const Dense& weights, uint32_t first, uint32_t count,
                                               uint32_t bits);

}  // namespace morla::v2

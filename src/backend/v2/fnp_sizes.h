#pragma once
// A Dense1D layer on a v2 FNP: its check, and the word counts of its input, input shifts
// and weights, all by the FNP input padding mode (1 flat, 2 byte runs in word rows, 3 runs
// padded to 4 bytes).
#include <cstdint>

#include "engine_api/layer.h"
#include "engine_api/tensor.h"
#include "core/shape.h"
#include "contract/hardware_description.h"
#include "contract/mapping_status.h"

namespace morla::v2 {

// `inbound` is the layer's first inbound layer, or null.
MappingStatus check_dense1d(const HardwareDescription& description, const Layer& layer,
                            const Layer* inbound);

// The input dimensions, or (1, 1, x·y·c) when flattened.
Shape fnp_input_shape(const Layer& layer, bool flatten);
// Each throws std::runtime_error "Unsupported padding." for a mode outside 1..3.
uint32_t fnp_input_words_of(uint32_t x, uint32_t y, uint32_t c, uint32_t bits, uint32_t mode);
uint32_t fnp_input_words(const Layer& layer, bool no_inbound);
uint32_t fnp_input_shift_size(const Tensor& input_shift, const Shape& dims, uint32_t mode,
                              uint32_t bits);
uint32_t fnp_neuron_words(const Shape& shape, uint32_t mode, uint32_t input_bits,
                          uint32_t weights_bits);
uint32_t fnp_weight_words_of(const Tensor& weights, uint32_t weights_bits, const Shape& shape,
                             uint32_t mode, uint32_t input_bits);
// The whole weight image, rounded to 16 words when it takes a long program block.
uint32_t fnp_weight_words(const Layer& layer);

}  // namespace morla::v2

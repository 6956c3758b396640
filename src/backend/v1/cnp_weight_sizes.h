#pragma once
// How many program words the weights of a v1 CNP layer take, and whether they fit. A CNP
// weight slot is 64 bits (two program words) of which 48 or 50 are used.
#include <cstdint>

namespace morla {
class Layer;
struct HardwareDescription;
}  // namespace morla

namespace morla::v1 {

// Bytes of `count` values of `bits` bits.
uint32_t packed_bytes(uint32_t count, uint32_t bits);
// Words of `planes` planes of `lines` lines of `line_bytes` bytes, each plane word-aligned.
uint32_t packed_words(uint32_t line_bytes, uint32_t lines, uint32_t planes);

// Standard CNP weights; 0xFFFFFFFF for a weight width other than 1, 2 or 4, and
// std::runtime_error "Unsupported kernel size" for a kernel other than 1, 3, 5 or 7.
uint32_t cnp_filter_words(uint32_t kernel, uint32_t channels, uint32_t filters, int weights_bits);
// Slots of the depthwise part of a separable CNP (not rounded).
uint32_t depthwise_slots(uint32_t kernel, uint32_t channels, int weights_bits);
// Its words, rounded down from 2 * slots + 15 to a multiple of 16.
uint32_t depthwise_weight_words(uint32_t kernel, uint32_t channels, int weights_bits);
// 48-bit groups per input channel of the pointwise part.
uint32_t pointwise_groups(uint32_t filters, int weights_bits);
uint32_t separable_weight_words(uint32_t kernel, uint32_t channels, uint32_t filters,
                                int weights_bits);

// Words of the layer's weights for `filters` filters, rounded up to 16 when they take the
// long block form. std::invalid_argument "Unexpected layer type for CNP" unless the layer is
// Convolutional or SeparableConvolutional.
uint32_t cnp_weight_size(const Layer& layer, uint32_t filters);
// Whether `filters` filters over all input channels fit the CNP weight memory.
bool fits_cnp_weights(const HardwareDescription& description, const Layer& layer, uint32_t filters);

}  // namespace morla::v1

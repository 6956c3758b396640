#pragma once
// Memory of a FullyConnected layer on a v1 FNP, in 32-bit words.
#include <cstdint>

namespace morla {
class Layer;
}

namespace morla::v1 {

// The weight image of `neurons` neurons of `inputs` inputs with `weights_bits`-bit weights:
// per neuron 4 header words and, per group of 32 inputs, one word per magnitude plane (two
// regions, positive and negative, above 1 bit). weights_bits must be at least 1.
uint32_t fnp_weight_words_unaligned(uint32_t neurons, uint32_t inputs, int weights_bits);
// The same for the layer's "weights", rounded up to 16 words when the image takes the long
// block form.
uint32_t fnp_weight_words(const Layer& layer);
// One bit per input value, whatever the input bit width. Computed in 64 bits: the product
// of three 32-bit dimensions wraps in 32.
uint64_t fnp_input_words(const Layer& layer);

}  // namespace morla::v1

#pragma once
// How an FNP takes its input: 1 flat input padded as a whole to 32 bits, 2 each x-run of
// one channel padded to whole bytes and each row to 32-bit words, 3 each x-run padded to a
// multiple of 4 bytes, 0 too large for an FNP.
#include <cstdint>

namespace morla {

class Layer;

// With `ignore_inbound` the first inbound layer is not asked where it runs. Throws
// std::runtime_error "Error when formatting the FNP inputs, the padding is undefined."
// when a rounding up to 4 overflows 32 bits.
uint32_t fnp_input_size(const Layer& layer, bool ignore_inbound);

}  // namespace morla

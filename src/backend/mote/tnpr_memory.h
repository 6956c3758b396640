#pragma once
// The four TNP-R memories a StatefulRecurrent chain takes, in words of each memory's width:
// STSRAM (state, 32-bit), FSRAM (projection weights, 64-bit), TSRAM (per-layer parameters,
// 51-bit) and EVSRAM (event rows, 32-bit). Each size is that of the chain starting at the
// given StatefulRecurrent layer.
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "engine_api/layer.h"

namespace morla::mote {

// A chain whose size is not defined: it does not start at a StatefulRecurrent layer, a
// bit width leaves no value per 32-bit word, the tail has no timesteps, or a projection
// matrix is missing. The message says why.
class TnprSizingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// 32-bit words of one packed input row: (channels x bits + 31) / 32, in 32-bit arithmetic.
uint32_t row_words(uint32_t channels, uint32_t bits);
// The start layer's row words rounded up to a power of two (1 for rows of up to 32 bits).
uint32_t padded_row_words(const Layer& start);

uint32_t fsram_words(const std::shared_ptr<Layer>& start);
uint32_t tsram_words(const std::shared_ptr<Layer>& start);
uint32_t evsram_words(const std::shared_ptr<Layer>& start);
uint32_t stsram_words(const std::shared_ptr<Layer>& start);

}  // namespace morla::mote

#include "backend/v1/fnp_sizes.h"

#include <stdexcept>

#include "backend/v1/layer_access.h"
#include "contract/program_record.h"

namespace morla::v1 {

uint32_t fnp_weight_words_unaligned(uint32_t neurons, uint32_t inputs, int weights_bits) {
  if (weights_bits < 1) throw std::invalid_argument("FNP weights need at least 1 bit.");
  const uint32_t groups = (inputs + 31) >> 5;
  const uint32_t planes = weights_bits == 1 ? 1 : static_cast<uint32_t>(weights_bits) - 1;
  const uint32_t per_neuron = weights_bits == 1 ? groups * planes : 2 * groups * planes;
  return (per_neuron + 4) * neurons;
}

uint32_t fnp_weight_words(const Layer& layer) {
  const Shape shape = variable(layer, "weights")->shape();
  const uint32_t words =
      fnp_weight_words_unaligned(shape[0], shape[1], param(layer, "weights_bits"));
  return program::is_long_np_block(words) ? (words + 15) & ~15u : words;
}

uint64_t fnp_input_words(const Layer& layer) {
  const Shape input = input_shape(layer);
  return (uint64_t{input[0]} * input[1] * input[2] + 31) >> 5;
}

}  // namespace morla::v1

#include "backend/mote/tnpr_memory.h"

#include <bit>
#include <string>

#include "backend/mote/tnpr_chain.h"
#include "engine_api/variables.h"

namespace morla::mote {

namespace {

uint32_t ceil_div(uint32_t value, uint32_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1u : 0u);
}

std::string quoted(const Layer& layer) { return "'" + layer.name() + "'"; }

void require_chain_start(const Layer& start) {
  if (!is_stateful_recurrent(start))
    throw TnprSizingError(quoted(start) + " does not start a StatefulRecurrent chain.");
}

// Values of `bits` bits packed into one 32-bit word; refuses widths that leave none.
uint32_t values_per_word(const Layer& layer, uint32_t bits, const char* which) {
  if (bits == 0 || bits > 32)
    throw TnprSizingError(std::string(which) + " bits of " + quoted(layer) + " are " +
                          std::to_string(bits) + ", outside 1 to 32.");
  return 32 / bits;
}

// Words of one projection matrix: ceil(columns / 8) per row, 8 int8 weights per word.
uint32_t matrix_words(const Layer& layer, const char* name) {
  if (!layer.variables().has(name))
    throw TnprSizingError(quoted(layer) + " has no variable '" + name + "'.");
  const Shape shape = layer.variables().get(name)->shape();
  return ceil_div(shape[1], 8) * shape[0];
}

// The layers on the TNP-R from the start, following first consumers of any type.
template <typename Visit>
void walk_tnp_r(const std::shared_ptr<Layer>& start, Visit visit) {
  for (std::shared_ptr<Layer> layer = start; layer && on_tnp_r(*layer);
       layer = first_outbound(*layer))
    visit(*layer);
}

}  // namespace

uint32_t row_words(uint32_t channels, uint32_t bits) { return (channels * bits + 31) / 32; }

uint32_t padded_row_words(const Layer& start) {
  const uint32_t channels = input_channels(start);
  const uint32_t bits = input_bit_width(start);
  if (channels * bits + 31 < 64) return 1;
  return std::bit_ceil(row_words(channels, bits));  // at most 2^27: no overflow
}

uint32_t fsram_words(const std::shared_ptr<Layer>& start) {
  require_chain_start(*start);
  uint32_t words = 0;
  for (std::shared_ptr<Layer> layer = start; layer;) {
    const uint32_t layer_words = matrix_words(*layer, "in_proj") + matrix_words(*layer, "out_proj");
    words += layer_words % (uint32_t{1} << 29);
    const auto next = first_outbound(*layer);
    layer = next && is_stateful_recurrent(*next) ? next : nullptr;
  }
  return words;
}

uint32_t tsram_words(const std::shared_ptr<Layer>& start) {
  require_chain_start(*start);
  uint32_t words = 0;
  walk_tnp_r(start, [&](const Layer& layer) {
    if (!is_stateful_recurrent(layer)) {
      words += 2;  // the post-processing entry and its input entry
      return;
    }
    const uint32_t per_entry = input_bit_width(layer) == 8 ? 8 : 4;
    words += unsigned_param(layer, "stateful_channels") +
             ceil_div(input_channels(layer), per_entry) + unsigned_param(layer, "output_channels");
  });
  return words;
}

uint32_t evsram_words(const std::shared_ptr<Layer>& start) {
  require_chain_start(*start);
  uint32_t words = padded_row_words(*start);
  const Layer* last_recurrent = nullptr;
  walk_tnp_r(start, [&](const Layer& layer) {
    if (is_stateful_recurrent(layer)) {
      words +=
          ceil_div(input_channels(layer), values_per_word(layer, input_bit_width(layer), "input"));
      last_recurrent = &layer;
      return;
    }
    // The start is a StatefulRecurrent layer, so one precedes every other chain layer.
    words +=
        ceil_div(layer.output_dims()[2],
                 values_per_word(*last_recurrent, output_bit_width(*last_recurrent), "output"));
  });
  return words;
}

uint32_t stsram_words(const std::shared_ptr<Layer>& start) {
  require_chain_start(*start);
  uint8_t recurrent_layers = 0;  // the hardware keeps an 8-bit count
  for (std::shared_ptr<Layer> layer = start; layer && is_stateful_recurrent(*layer);
       layer = first_outbound(*layer))
    ++recurrent_layers;
  uint32_t words = unsigned_param(*start, "stateful_channels") * recurrent_layers;

  bool post_processing = false;
  for (std::shared_ptr<Layer> layer = start; layer && !post_processing;
       layer = first_outbound(*layer))
    post_processing = layer_type(*layer) == LayerType::MotePostProcessing;
  if (!post_processing) return words;

  // The post-processing keeps a running window over the packed timesteps.
  const uint32_t per_word = values_per_word(*start, input_bit_width(*start), "input");
  const uint32_t packed_steps = ceil_div(input_timesteps(*start), per_word);
  if (packed_steps == 0)
    throw TnprSizingError(quoted(*start) + " has no timesteps (input dimension 1 is 0).");
  // ceil(log2(packed_steps)), exactly.
  const uint32_t log2_steps = static_cast<uint32_t>(std::bit_width(packed_steps - 1));
  return words + 2 * log2_steps;
}

}  // namespace morla::mote

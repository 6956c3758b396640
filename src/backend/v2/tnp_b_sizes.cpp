#include "backend/v2/tnp_b_sizes.h"

#include <stdexcept>

#include "engine_api/layer_params.h"
#include "contract/program_record.h"

namespace morla::v2 {

namespace {

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
uint32_t round_up(uint32_t a, uint32_t m) { return ceil_div(a, m) * m; }
uint32_t long_block_words(uint32_t words) {
  return program::is_long_np_block(words) ? round_up(words, 16) : words;
}

}  // namespace

uint32_t tnp_b_ch_cont_size(uint32_t filters) { return 2 * ceil_div(filters, 24); }

uint32_t tnp_b_weight_size(uint32_t fifo_size, uint32_t filters, uint32_t rows_per_frame) {
  return (fifo_size + 1) * rows_per_frame * tnp_b_ch_cont_size(filters);
}

uint32_t depthwise_tnp_b_weight_size(uint32_t fifo_size, uint32_t channels) {
  return (fifo_size + 1) * channels;
}

uint32_t tnp_b_weight_words(uint32_t filters, uint32_t rows) {
  return long_block_words(tnp_b_ch_cont_size(filters) * rows * 3);
}

uint32_t depthwise_tnp_b_weight_words(uint32_t fifo_size, uint32_t channels) {
  return long_block_words((3 * fifo_size + 3) * channels);
}

uint32_t tnp_b_frame_words(uint32_t rows, uint32_t cols, uint32_t channels, uint32_t bits) {
  return round_up(ceil_div(round_up(channels, 4) * cols * rows * bits, 32), 64);
}

uint32_t tnp_b_input_bytes(const Layer& layer, const hw::Component& component) {
  if (!component.np_block)
    throw std::runtime_error("A TNP-B component of layer '" + layer.name() +
                             "' has no split part.");
  const Shape window = component.np_block->input_window.shape;
  const uint32_t channels = component.np_block->spatial_partition.shape[2];
  const uint32_t frame =
      tnp_b_frame_words(window[1], window[0], channels, layer.input_bits() & 0xFF);
  const LayerParams& params = *layer.params();
  const uint32_t frames =
      params.has("fifo_size") ? static_cast<uint32_t>(params.get("fifo_size")) + 1 : 1;
  return 4 * frames * frame;
}

}  // namespace morla::v2

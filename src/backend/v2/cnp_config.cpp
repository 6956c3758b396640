#include "backend/v2/cnp_config.h"

#include <algorithm>
#include <stdexcept>

#include "backend/v2/cnp_weight_layout.h"
#include "program/contract/field_checks.h"

namespace morla::v2 {

namespace {

uint32_t flag(bool value) { return value ? 1u : 0u; }

// Window offsets are kept as two's complement in 32 bits; the NP takes 3.
uint32_t window_offset(uint32_t offset) { return signed_field(static_cast<int32_t>(offset), 3); }

void record_widths(NpRegisters& b, const CnpNpConfig& c) {
  const bool relu = c.activation == ActivationType::ReLU;
  set_bits(b, 1, 4, 4, 0);
  set_bits(b, 1, 29, 29, flag(c.input_format_flag));
  set_bits(b, 1, 7, 7, 0);
  set_bits(b, 1, 20, 20, flag(c.activation == ActivationType::LUT));
  set_bits(b, 1, 22, 22, flag(c.single_buffer));
  set_bits(b, 3, 0, 1, c.input_bits < 8 ? 2 : 3);
  set_bits(b, 3, 3, 3, flag(c.weights_bits == 4));
  set_bits(b, 3, 7, 7, flag(c.weights_bits == 8));
  set_bits(b, 3, 4, 5, c.weights_bits == 8 ? 3 : 2);
  set_bits(b, 3, 12, 13, c.output_bits < 8 ? 2 : 3);
  set_bits(b, 3, 14, 14, flag(!relu && c.output_bits < 9));
  set_bits(b, 3, 15, 15, flag(relu));
  set_bits(b, 3, 16, 23, static_cast<uint32_t>(c.layer_components.size()));
  set_bits(b, 4, 29, 29, 0);
  set_bits(b, 4, 30, 30, 0);
  set_bits(b, 4, 31, 31, 1);
}

void record_split(NpRegisters& b, const CnpNpConfig& c) {
  const NpSplitInterface& s = c.split;
  set_bits(b, 8, 0, 10, s.height);
  set_bits(b, 8, 12, 14, window_offset(s.window_row_offset));
  set_bits(b, 8, 16, 26, s.width);
  set_bits(b, 8, 28, 30, window_offset(s.window_col_offset));
  set_bits(b, 9, 0, 11, s.window_y);
  set_bits(b, 9, 12, 12, flag(s.row_phase > 0));
  set_bits(b, 9, 16, 27, s.window_x);
  set_bits(b, 9, 28, 28, flag(s.col_phase > 0));
  set_bits(b, 10, 0, 10, s.window_height);
  set_bits(b, 10, 16, 26, s.window_width);
  set_bits(b, 11, 0, 7, s.aligned_width());
  set_bits(b, 20, 8, 8, flag(c.stride == 2));
  set_bits(b, 20, 9, 9, flag(c.transposed));
  set_bits(b, 20, 10, 10, 0);
  set_bits(b, 20, 16, 26, 0);
  set_bits(b, 20, 28, 30, c.kernel_size);
  set_bits(b, 24, 0, 11, s.out_y);
  set_bits(b, 24, 16, 27, s.out_x);
  set_bits(b, 25, 0, 9, s.out_height);
  set_bits(b, 25, 16, 23, s.out_width);
  set_bits(b, 26, 0, 10, c.first_filter);
  set_bits(b, 26, 16, 25, c.filters);
}

// The NP that also learns sends its results to the learning peers.
void record_learning_peers(NpRegisters& b, const CnpNpConfig& c) {
  ComponentList both = c.layer_components;
  both.insert(both.end(), c.peers.begin(), c.peers.end());
  const auto [low, high] = column_span(both);
  set_bits(b, 1, 31, 31, 1);
  set_bits(b, 47, 16, 23, low);
  set_bits(b, 47, 24, 31, high);
  set_bits(b, 48, 24, 31, c.merge->other_order);
  if (c.peers.empty()) throw std::out_of_range("invalid vector subscript");
  const bool single = c.peers.size() == 1;
  set_bits(b, 48, 16, 16, flag(single));
  if (single) {
    set_bits(b, 48, 0, 7, c.peers.front().ident.row);
    set_bits(b, 48, 8, 15, c.peers.front().ident.col);
  } else {
    // Plain column range: an HRC peer has no special span here.
    uint8_t lo = 255, hi = 0;
    for (const auto& p : c.peers) {
      lo = std::min(lo, p.ident.col);
      hi = std::max(hi, p.ident.col);
    }
    set_bits(b, 48, 0, 7, lo);
    set_bits(b, 48, 8, 15, hi);
  }
  set_bits(b, 48, 20, 23, 1u << c.peers.front().ident.id);
}

void record_skip_dma(NpRegisters& b, const CnpNpConfig& c) {
  set_bits(b, 52, 7, 7, c.merge ? flag(c.merge->not_first) : 1u);
  if (!c.merge) return;
  if (!c.skip_dma_load) throw std::runtime_error("Skip DMA load should not be null.");
  set_bits(b, 52, 0, 0, 1);
  set_bits(b, 52, 1, 1, 1);
  set_bits(b, 52, 2, 2, flag(c.merge->is_add));
  set_bits(b, 52, 3, 3, 0);
  set_bits(b, 52, 4, 4, 1);
  set_bits(b, 52, 16, 23, c.merge->index);
  set_bits(b, 53, 0, 7, 1);
  set_bits(b, 53, 8, 15, c.skip_dma_load->ident.col);
  set_bits(b, 53, 19, 19, 0);
  set_bits(b, 53, 20, 23, 1u << c.skip_dma_load->ident.id);
  set_bits(b, 53, 31, 31, 1);
  if (c.merge->dual_source) record_learning_peers(b, c);
}

}  // namespace

void record_cnp_config(NpRegisters& block, const CnpNpConfig& config) {
  record_widths(block, config);
  record_split(block, config);
  if (config.with_skip_dma) record_skip_dma(block, config);
}

void record_standard_geometry(NpRegisters& b, const NpSplitInterface& s, uint32_t input_bits,
                              uint32_t kernel_size, uint32_t weights_bits, uint32_t filters) {
  // Bytes of one channel row, in whole words.
  const uint32_t row_bytes = (((s.window_width * input_bits + 7) >> 3) + 3) & ~3u;
  const uint32_t channel_row_words = (s.channels * row_bytes) >> 2;
  set_bits(b, 4, 0, 15, channel_row_words * s.window_height);
  set_bits(b, 11, 12, 29, ch_cont_size(kernel_size, filters, weights_bits));
  set_bits(b, 21, 0, 10, filters);
  set_bits(b, 28, 16, 31, row_bytes);
  set_bits(b, 29, 16, 23, (filters + 7) >> 3);
  set_bits(b, 28, 0, 13, channel_row_words);
}

void record_depthwise_geometry(NpRegisters& b, const NpSplitInterface& s, uint32_t input_bits,
                               uint32_t kernel_size, uint32_t weights_bits,
                               uint32_t first_filter, uint32_t filters, uint32_t layer_channels) {
  const uint32_t row_words = (s.window_width * input_bits + 31) >> 5;
  set_bits(b, 3, 2, 2, 1);
  set_bits(b, 4, 0, 15,
           ((((s.window_width * input_bits + 31) & ~31u) * s.channels) >> 5) * s.window_height);
  if (layer_channels > filters) {
    set_bits(b, 3, 10, 10, 1);
    // Word 22: the NP's first channel (bits 0-11) and its channel count (bits 16-25). The
    // routing writer runs later and puts the P2P-out flag in bit 0, over the first channel's
    // lowest bit: that order is the one the recorders keep.
    set_bits(b, 22, 0, 11, first_filter);
    set_bits(b, 22, 16, 25, filters);
  }
  set_bits(b, 11, 12, 29, depthwise_ch_cont_size(kernel_size, filters, weights_bits));
  set_bits(b, 28, 16, 31, s.window_height * row_words * 4);
  set_bits(b, 29, 16, 23, 1);
  set_bits(b, 28, 0, 13, row_words);
}

void record_cnp_padding_edges(NpRegisters& b, const Shape& layer_input, const NpSpace& partition,
                              const PoolEdges& pooling, bool inbound_max_pooling) {
  const uint32_t x = partition.x, y = partition.y;
  const uint32_t pw = partition.shape[0], ph = partition.shape[1];
  set_bits(b, 27, 0, 2, pooling.pool_size);
  set_bits(b, 27, 4, 6, pooling.pool_stride);
  set_bits(b, 27, 8, 8, pooling.pool_flag);
  set_bits(b, 27, 12, 12, flag(pooling.pads[3] > 0 && x + pw == layer_input[0]));
  set_bits(b, 27, 13, 13, flag(pooling.pads[2] > 0 && x == 0));
  set_bits(b, 27, 14, 14, flag(pooling.pads[1] > 0 && y + ph == layer_input[1]));
  set_bits(b, 27, 15, 15, flag(pooling.pads[0] > 0 && y == 0));
  set_bits(b, 27, 9, 9, 0);
  if (inbound_max_pooling) set_bits(b, 2, 8, 8, 1);
}

}  // namespace morla::v2

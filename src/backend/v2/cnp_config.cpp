#include "backend/v2/cnp_config.h"

#include <algorithm>
#include <stdexcept>

#include "backend/v2/cnp_weight_layout.h"
#include "backend/v2/np_fields.h"
#include "contract/field_checks.h"

namespace morla::v2 {

namespace {

uint32_t flag(bool value) { return value ? 1u : 0u; }

// Window offsets are kept as two's complement in 32 bits; the NP takes 3.
uint32_t window_offset(uint32_t offset) { return signed_field(static_cast<int32_t>(offset), 3); }

void record_widths(NpRegisters& b, const CnpNpConfig& c) {
  const bool relu = c.activation == ActivationType::ReLU;
  set_register_field(b, reg::kFnpBlock, 0);
  set_register_field(b, reg::kInputFormatFlag, flag(c.input_format_flag));
  set_register_field(b, reg::kWord1Bit7, 0);
  set_register_field(b, reg::kLutActivation, flag(c.activation == ActivationType::LUT));
  set_register_field(b, reg::kSingleBuffer, flag(c.single_buffer));
  set_register_field(b, reg::kInputWidthCode, c.input_bits < 8 ? 2 : 3);
  set_register_field(b, reg::kWeights4Bit, flag(c.weights_bits == 4));
  set_register_field(b, reg::kWeights8Bit, flag(c.weights_bits == 8));
  set_register_field(b, reg::kWeightWidthCode, c.weights_bits == 8 ? 3 : 2);
  set_register_field(b, reg::kOutputWidthCode, c.output_bits < 8 ? 2 : 3);
  set_register_field(b, reg::kUnclippedOutput, flag(!relu && c.output_bits < 9));
  set_register_field(b, reg::kRelu, flag(relu));
  set_register_field(b, reg::kNpCount, static_cast<uint32_t>(c.layer_components.size()));
  set_register_field(b, reg::kWord4Bit29, 0);
  set_register_field(b, reg::kWord4Bit30, 0);
  set_register_field(b, reg::kWord4Bit31, 1);
}

void record_split(NpRegisters& b, const CnpNpConfig& c) {
  const NpSplitInterface& s = c.split;
  set_register_field(b, reg::kHeight, s.height);
  set_register_field(b, reg::kWindowRowOffset, window_offset(s.window_row_offset));
  set_register_field(b, reg::kWidth, s.width);
  set_register_field(b, reg::kWindowColOffset, window_offset(s.window_col_offset));
  set_register_field(b, reg::kWindowY, s.window_y);
  set_register_field(b, reg::kRowPhase, flag(s.row_phase > 0));
  set_register_field(b, reg::kWindowX, s.window_x);
  set_register_field(b, reg::kColPhase, flag(s.col_phase > 0));
  set_register_field(b, reg::kWindowHeight, s.window_height);
  set_register_field(b, reg::kWindowWidth, s.window_width);
  set_register_field(b, reg::kAlignedWidth, s.aligned_width());
  set_register_field(b, reg::kStride2, flag(c.stride == 2));
  set_register_field(b, reg::kTransposed, flag(c.transposed));
  set_register_field(b, reg::kWord20Bit10, 0);
  set_register_field(b, reg::kWord20Bits16To26, 0);
  set_register_field(b, reg::kKernelSize, c.kernel_size);
  set_register_field(b, reg::kOutY, s.out_y);
  set_register_field(b, reg::kOutX, s.out_x);
  set_register_field(b, reg::kOutHeight, s.out_height);
  set_register_field(b, reg::kOutWidth, s.out_width);
  set_register_field(b, reg::kFirstFilter, c.first_filter);
  set_register_field(b, reg::kFilters, c.filters);
}

// The NP that also learns sends its results to the learning peers.
void record_learning_peers(NpRegisters& b, const CnpNpConfig& c) {
  ComponentList both = c.layer_components;
  both.insert(both.end(), c.peers.begin(), c.peers.end());
  const auto [low, high] = column_span(both);
  set_register_field(b, reg::kLearningPeers, 1);
  set_register_field(b, reg::kPeerSpanLow, low);
  set_register_field(b, reg::kPeerSpanHigh, high);
  set_register_field(b, reg::kPeerOrder, c.merge->other_order);
  if (c.peers.empty()) throw std::out_of_range("invalid vector subscript");
  const bool single = c.peers.size() == 1;
  set_register_field(b, reg::kSinglePeer, flag(single));
  if (single) {
    set_register_field(b, reg::kPeerRowOrLow, c.peers.front().ident.row);
    set_register_field(b, reg::kPeerColOrHigh, c.peers.front().ident.col);
  } else {
    // Plain column range: an HRC peer has no special span here.
    uint8_t lo = 255, hi = 0;
    for (const auto& p : c.peers) {
      lo = std::min(lo, p.ident.col);
      hi = std::max(hi, p.ident.col);
    }
    set_register_field(b, reg::kPeerRowOrLow, lo);
    set_register_field(b, reg::kPeerColOrHigh, hi);
  }
  set_one_hot_field(b, reg::kPeerIdMask, c.peers.front().ident.id);
}

void record_skip_dma(NpRegisters& b, const CnpNpConfig& c) {
  set_register_field(b, reg::kMergeNotFirst, c.merge ? flag(c.merge->not_first) : 1u);
  if (!c.merge) return;
  if (!c.skip_dma_load) throw std::runtime_error("Skip DMA load should not be null.");
  set_register_field(b, reg::kWord52Bit0, 1);
  set_register_field(b, reg::kWord52Bit1, 1);
  set_register_field(b, reg::kMergeIsAdd, flag(c.merge->is_add));
  set_register_field(b, reg::kWord52Bit3, 0);
  set_register_field(b, reg::kSkipFlag, 1);
  set_register_field(b, reg::kSkipIndex, c.merge->index);
  set_register_field(b, reg::kWord53Bits0To7, 1);
  set_register_field(b, reg::kSkipLoadCol, c.skip_dma_load->ident.col);
  set_register_field(b, reg::kWord53Bit19, 0);
  set_one_hot_field(b, reg::kSkipLoadIdMask, c.skip_dma_load->ident.id);
  set_register_field(b, reg::kWord53Bit31, 1);
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
  set_register_field(b, reg::kInputWords, channel_row_words * s.window_height);
  set_register_field(b, reg::kChannelWeightSize, ch_cont_size(kernel_size, filters, weights_bits));
  set_register_field(b, reg::kNeuronCount, filters);
  set_register_field(b, reg::kRowBytes, row_bytes);
  set_register_field(b, reg::kFilterBytes, (filters + 7) >> 3);
  set_register_field(b, reg::kChannelRowWords, channel_row_words);
}

void record_depthwise_geometry(NpRegisters& b, const NpSplitInterface& s, uint32_t input_bits,
                               uint32_t kernel_size, uint32_t weights_bits, uint32_t first_filter,
                               uint32_t filters, uint32_t layer_channels) {
  const uint32_t row_words = (s.window_width * input_bits + 31) >> 5;
  set_register_field(b, reg::kDepthwise, 1);
  set_register_field(
      b, reg::kInputWords,
      ((((s.window_width * input_bits + 31) & ~31u) * s.channels) >> 5) * s.window_height);
  if (layer_channels > filters) {
    set_register_field(b, reg::kChannelPart, 1);
    // Word 22: the NP's first channel (bits 0-11) and its channel count (bits 16-25). The
    // routing writer runs later and puts the P2P-out flag in bit 0, over the first channel's
    // lowest bit: that order is the one the recorders keep.
    set_register_field(b, reg::kFirstChannel, first_filter);
    set_register_field(b, reg::kChannelCount, filters);
  }
  set_register_field(b, reg::kChannelWeightSize,
                     depthwise_ch_cont_size(kernel_size, filters, weights_bits));
  set_register_field(b, reg::kRowBytes, s.window_height * row_words * 4);
  set_register_field(b, reg::kFilterBytes, 1);
  set_register_field(b, reg::kChannelRowWords, row_words);
}

void record_cnp_padding_edges(NpRegisters& b, const Shape& layer_input, const NpSpace& partition,
                              const PoolEdges& pooling, bool inbound_max_pooling) {
  const uint32_t x = partition.x, y = partition.y;
  const uint32_t pw = partition.shape[0], ph = partition.shape[1];
  set_register_field(b, reg::kPoolSize, pooling.pool_size);
  set_register_field(b, reg::kPoolStride, pooling.pool_stride);
  set_register_field(b, reg::kPoolFlag, pooling.pool_flag);
  set_register_field(b, reg::kPadRightEdge, flag(pooling.pads[3] > 0 && x + pw == layer_input[0]));
  set_register_field(b, reg::kPadLeftEdge, flag(pooling.pads[2] > 0 && x == 0));
  set_register_field(b, reg::kPadBottomEdge, flag(pooling.pads[1] > 0 && y + ph == layer_input[1]));
  set_register_field(b, reg::kPadTopEdge, flag(pooling.pads[0] > 0 && y == 0));
  set_register_field(b, reg::kWord27Bit9, 0);
  if (inbound_max_pooling) set_register_field(b, reg::kInboundMaxPooling, 1);
}

}  // namespace morla::v2

#include "backend/v1/np_routing.h"

#include <algorithm>
#include <stdexcept>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/np_fields.h"

namespace morla::v1 {

namespace {

struct ColumnSpan {
  uint32_t lo, hi;
};

// The lowest and highest column of a list; a lone HRC counts as column 1.
ColumnSpan span(const ComponentList& list) {
  if (list.empty())
    throw std::runtime_error("NP routing needs at least one component on each side.");
  if (list.size() == 1 && list.front().type == hw::Type::HRC) return {1, 1};
  ColumnSpan s{0xFF, 0};
  for (const auto& c : list) {
    s.lo = std::min<uint32_t>(s.lo, c.ident.col);
    s.hi = std::max<uint32_t>(s.hi, c.ident.col);
  }
  return s;
}

bool is_fnp(hw::Type type) { return type == hw::Type::FNP2 || type == hw::Type::FNP3; }

}  // namespace

void record_np_routing(RegisterBlock& block, const ComponentList& feeding, const ComponentList& nps,
                       const ComponentList& following, uint8_t next_order, bool p2p_output,
                       bool last_of_pass) {
  set_register_field(block, reg::kP2pOutput, p2p_output);
  set_register_field(block, reg::kWord44Bit1, 0);
  set_register_field(block, reg::kWord44Bits16To23, 8);
  set_register_field(block, reg::kNextOrderMarker, next_order == 255 ? 6 : 255);
  set_register_field(block, reg::kLastOfPass, last_of_pass);

  const ColumnSpan out = span(following);
  if (p2p_output) {
    if (following.size() != 1) throw std::runtime_error("Cannot use P2P mode for multiple NPs.");
    const hw::Ident& target = following.front().ident;
    set_register_field(block, reg::kDestRowOrLow, target.row);
    set_register_field(block, reg::kDestColOrHigh, target.col);
    set_one_hot_field(block, reg::kDestIdMask, target.id);
  } else {
    set_register_field(block, reg::kDestRowOrLow, out.lo);
    set_register_field(block, reg::kDestColOrHigh, out.hi);
  }
  set_register_field(block, reg::kNextOrder, next_order);

  const ColumnSpan in = span(feeding);
  set_register_field(block, reg::kSourceLow, in.lo);
  set_register_field(block, reg::kSourceHigh, in.hi);
  set_register_field(block, reg::kWord46Bit31, 0);

  const ColumnSpan own = span(nps);
  set_register_field(block, reg::kSpanLow, std::min(out.lo, own.lo));
  set_register_field(block, reg::kSpanHigh, std::max(out.hi, own.hi));
  set_register_field(block, reg::kWord47Bits16To23, 0);
  set_register_field(block, reg::kWord47Bits24To31, 0);
  set_register_field(block, reg::kWord46Bit30, 0);
}

void record_np_p2p(RegisterBlock& block, const Layer& next, const hw::Component& target) {
  const auto bits = static_cast<uint8_t>(next.input_bits());
  const bool to_fnp = is_fnp(target.type);
  set_register_field(block, reg::kP2pWord32Bit0, 1);
  set_register_field(block, reg::kP2pToFnp, to_fnp);
  set_register_field(block, reg::kP2pWord32Bit2, 1);
  set_register_field(block, reg::kP2pInputBitsHalf, bits / 2u);
  set_register_field(block, reg::kP2pPreviousPassOrder,
                     require_layer_mapping(next).previous_pass_order);

  const Shape input = input_shape(next);
  const uint32_t width = input[0], height = input[1], channels = input[2];
  uint32_t window_words = 0;
  if (to_fnp) {
    set_register_field(block, reg::kP2pWindowY, 0);
    set_register_field(block, reg::kP2pWindowX, 0);
    set_register_field(block, reg::kP2pHeight, height);
    set_register_field(block, reg::kP2pWidth, width);
    set_register_field(block, reg::kP2pFnpInputs, width * height);
  } else {
    const hw::NpBlock& piece = require_np_block(target);
    const NpSpace& window = piece.input_window;
    const uint32_t partition_channels = piece.spatial_partition.shape[2];
    set_register_field(block, reg::kP2pWindowY, window.y);
    set_register_field(block, reg::kP2pWindowX, window.x);
    set_register_field(block, reg::kP2pHeight, window.shape[1]);
    set_register_field(block, reg::kP2pWidth, window.shape[0]);
    const uint32_t row_bytes = packed_bytes(window.shape[0], bits);
    set_register_field(block, reg::kP2pChannelRowWords, (row_bytes * partition_channels + 3) / 4);
    set_register_field(block, reg::kP2pRowBytes, row_bytes);
    window_words = packed_words(row_bytes, partition_channels, window.shape[1]);
  }

  const uint32_t input_words = (width * height * channels + 31) / 32;
  uint32_t words =
      std::max({register_field(block, reg::kInputWords),
                register_field(block, reg::kWord14InputWords), window_words, input_words});
  // Handing over to an FNP takes at least 9473 words, unless word 1 bit 4 is set (it is on
  // FNP blocks, not on CNP blocks).
  if (register_field(block, reg::kFnpBlock) == 0 && to_fnp && words < 9474) words = 9473;
  set_register_field(block, reg::kInputWords, words);
  set_register_field(block, reg::kWord14InputWords, words);
}

void record_np_dma_conf(RegisterBlock& block, const hw::Ident& ident) {
  set_one_hot_field(block, reg::kDmaIdMask, ident.id);
  set_register_field(block, reg::kDmaRow, ident.row);
  set_register_field(block, reg::kDmaCol, ident.col);
}

void set_np_word2_flag(RegisterBlock& block) { set_register_field(block, reg::kWord2Flag, 1); }

const hw::Component* find_np(const Layer& next, const hw::Ident& ident) {
  const LayerMapping& mapping = require_layer_mapping(next);
  if (!mapping.nps) return nullptr;
  for (const auto& component : *mapping.nps)
    if (component.ident == ident) return &component;
  return nullptr;
}

}  // namespace morla::v1

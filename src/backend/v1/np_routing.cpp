#include "backend/v1/np_routing.h"

#include <algorithm>
#include <stdexcept>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/layer_access.h"

namespace morla::v1 {

namespace {

struct ColumnSpan {
  uint32_t lo, hi;
};

// The lowest and highest column of a list; a lone HRC counts as column 1.
ColumnSpan span(const ComponentList& list) {
  if (list.empty()) throw std::runtime_error("NP routing needs at least one component on each side.");
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

void record_np_routing(RegisterBlock& block, const ComponentList& feeding,
                       const ComponentList& nps, const ComponentList& following,
                       uint8_t next_order, bool p2p_output, bool last_of_pass) {
  set_field(block, 44, 0, 1, p2p_output);
  set_field(block, 44, 1, 1, 0);
  set_field(block, 44, 16, 8, 8);
  set_field(block, 44, 24, 8, next_order == 255 ? 6 : 255);
  set_field(block, 44, 2, 1, last_of_pass);

  const ColumnSpan out = span(following);
  if (p2p_output) {
    if (following.size() != 1) throw std::runtime_error("Cannot use P2P mode for multiple NPs.");
    const hw::Ident& target = following.front().ident;
    set_field(block, 45, 0, 8, target.row);
    set_field(block, 45, 8, 8, target.col);
    set_field(block, 45, 20, 4, 1u << target.id);
  } else {
    set_field(block, 45, 0, 8, out.lo);
    set_field(block, 45, 8, 8, out.hi);
  }
  set_field(block, 45, 24, 8, next_order);

  const ColumnSpan in = span(feeding);
  set_field(block, 46, 0, 8, in.lo);
  set_field(block, 46, 8, 8, in.hi);
  set_field(block, 46, 31, 1, 0);

  const ColumnSpan own = span(nps);
  set_field(block, 47, 0, 8, std::min(out.lo, own.lo));
  set_field(block, 47, 8, 8, std::max(out.hi, own.hi));
  set_field(block, 47, 16, 8, 0);
  set_field(block, 47, 24, 8, 0);
  set_field(block, 46, 30, 1, 0);
}

void record_np_p2p(RegisterBlock& block, const Layer& next, const hw::Component& target) {
  const auto bits = static_cast<uint8_t>(next.input_bits());
  const bool to_fnp = is_fnp(target.type);
  set_field(block, 32, 0, 1, 1);
  set_field(block, 32, 1, 1, to_fnp);
  set_field(block, 32, 2, 1, 1);
  set_field(block, 32, 4, 2, bits / 2u);
  set_field(block, 32, 24, 8, require_layer_mapping(next).previous_pass_order);

  const Shape input = input_shape(next);
  const uint32_t width = input[0], height = input[1], channels = input[2];
  uint32_t window_words = 0;
  if (to_fnp) {
    set_field(block, 33, 0, 12, 0);
    set_field(block, 33, 16, 12, 0);
    set_field(block, 34, 0, 11, height);
    set_field(block, 34, 16, 11, width);
    set_field(block, 35, 0, 18, width * height);
  } else {
    const hw::NpBlock& piece = require_np_block(target);
    const NpSpace& window = piece.input_window;
    const uint32_t partition_channels = piece.spatial_partition.shape[2];
    set_field(block, 33, 0, 12, window.y);
    set_field(block, 33, 16, 12, window.x);
    set_field(block, 34, 0, 11, window.shape[1]);
    set_field(block, 34, 16, 11, window.shape[0]);
    const uint32_t row_bytes = packed_bytes(window.shape[0], bits);
    set_field(block, 35, 0, 14, (row_bytes * partition_channels + 3) / 4);
    set_field(block, 35, 16, 9, row_bytes);
    window_words = packed_words(row_bytes, partition_channels, window.shape[1]);
  }

  const uint32_t input_words = (width * height * channels + 31) / 32;
  uint32_t words = std::max({get_field(block, 4, 0, 18), get_field(block, 14, 0, 18),
                             window_words, input_words});
  // Handing over to an FNP takes at least 9473 words, unless word 1 bit 4 is set (it is on
  // FNP blocks, not on CNP blocks).
  if (get_field(block, 1, 4, 1) == 0 && to_fnp && words < 9474) words = 9473;
  set_field(block, 4, 0, 18, words);
  set_field(block, 14, 0, 18, words);
}

void record_np_dma_conf(RegisterBlock& block, const hw::Ident& ident) {
  set_field(block, 49, 16, 4, 1u << ident.id);
  set_field(block, 49, 0, 8, ident.row);
  set_field(block, 49, 8, 8, ident.col);
}

void set_np_word2_flag(RegisterBlock& block) { set_field(block, 2, 7, 1, 1); }

const hw::Component* find_np(const Layer& next, const hw::Ident& ident) {
  const LayerMapping& mapping = require_layer_mapping(next);
  if (!mapping.nps) return nullptr;
  for (const auto& component : *mapping.nps)
    if (component.ident == ident) return &component;
  return nullptr;
}

}  // namespace morla::v1

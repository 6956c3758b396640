#include "backend/v2/input_format.h"

#include <stdexcept>

#include "backend/v2/np_fields.h"
#include "contract/fnp_input_size.h"
#include "contract/layer_mapping.h"
#include "contract/mapped_nps.h"

namespace morla::v2 {

namespace {

struct RowLayout {
  uint32_t words = 0;  // w
  uint32_t bytes = 0;  // r
};

uint32_t round_up4(uint32_t n) { return (n + 3) & ~3u; }

RowLayout fnp_rows(NpRegisters& b, const Layer& source, const hw::Component& entry, uint32_t bits) {
  const Shape d = source.input_dims();
  set_register_field(b, reg::kInFromFnp, 1);
  set_register_field(b, reg::kInY, 0);
  set_register_field(b, reg::kInX, 0);
  set_register_field(b, reg::kInHeight, d[1]);
  set_register_field(b, reg::kInWidth, d[0]);
  set_register_field(b, reg::kInFnpInputs, d[0] * d[1]);
  const uint32_t row_bytes = (d[0] * bits + 7) >> 3;
  RowLayout rows;
  switch (fnp_input_size(source, false)) {
    case 1:
    case 3: rows.bytes = round_up4(row_bytes); break;
    case 2: rows.bytes = row_bytes; break;
    default: throw std::runtime_error("Unsupported padding.");
  }
  rows.words = (entry.np_block->spatial_partition.shape[2] * rows.bytes + 3) >> 2;
  return rows;
}

RowLayout cnp_rows(NpRegisters& b, const Layer& source, const hw::Component& entry, uint32_t bits) {
  const NpSpace& window = entry.np_block->input_window;
  const uint32_t s0 = window.shape[0], s1 = window.shape[1], s2 = window.shape[2];
  set_register_field(b, reg::kInFromFnp, 0);
  set_register_field(b, reg::kInY, window.y);
  set_register_field(b, reg::kInX, window.x);
  set_register_field(b, reg::kInHeight, s1);
  set_register_field(b, reg::kInWidth, s0);
  const auto inbounds = source.inbounds();
  const Layer* first = inbounds.empty() ? nullptr : inbounds.front().get();
  const bool inbound_max_pool = first && first->has_pool_type(PoolType::Max);
  const bool inbound_activation = first && first->has_activation();
  if (!inbound_activation && inbound_max_pool) {
    set_register_field(b, reg::kInMaxPooled, 1);
    set_register_field(b, reg::kInPooledWords, ((((s0 * bits + 31) & ~31u) * s2) >> 5) * s1);
  }
  RowLayout rows;
  if (source.is_channel_wise()) {
    set_register_field(b, reg::kInWordRows, 1);
    rows.words = (s0 * bits + 31) >> 5;
    rows.bytes = s1 * rows.words * 4;
    if (source.input_dims()[2] > entry.np_block->filters) {
      set_register_field(b, reg::kInChannelPart, 1);
      set_register_field(b, reg::kInFirstChannel, entry.np_block->start_neuron);
      set_register_field(b, reg::kInChannelCount, entry.np_block->filters);
    }
  } else {
    rows.bytes = round_up4((s0 * bits + 7) >> 3);
    rows.words = (entry.np_block->spatial_partition.shape[2] * rows.bytes) >> 2;
  }
  return rows;
}

}  // namespace

void record_input_padding(NpRegisters& b, const Layer& source, const hw::Component& entry,
                          bool p2p_flag) {
  if (!entry.np_block)
    throw std::runtime_error("The component of layer '" + source.name() +
                             "' that feeds the NP has no split part.");
  const LayerMapping& mapping = require_layer_mapping(source);
  const uint32_t bits = source.input_bits() & 0xFF;
  set_register_field(b, reg::kInWord32Bit0, 1);
  set_register_field(b, reg::kInWord32Bit2, 1);
  set_register_field(b, reg::kInP2pFlag, p2p_flag ? 1 : 0);
  set_register_field(b, reg::kInBitsCode, (bits >> 1) - (bits >> 3));
  set_register_field(b, reg::kInPassByte, mapping.previous_pass_order);

  RowLayout rows;
  if (source.is_target_component(ComponentKind::FNP))
    rows = fnp_rows(b, source, entry, bits);
  else if (source.is_target_component(ComponentKind::CNP) ||
           source.is_target_component(ComponentKind::TNP_B))
    rows = cnp_rows(b, source, entry, bits);

  set_register_field(b, reg::kWord41Bit31, 0);
  set_register_field(b, reg::kInNpCount,
                     static_cast<uint32_t>(mapping.nps ? mapping.nps->size() : 0));
  const auto [low, high] = column_span(collect_mapped_nps(mapping));
  set_register_field(b, reg::kInSpanLow, low);
  set_register_field(b, reg::kInSpanHigh, high);
  set_register_field(b, reg::kInWords, rows.words);
  set_register_field(b, reg::kInRowBytes, rows.bytes);
  set_register_field(b, reg::kInMerge, mapping.merge_info ? 1 : 0);
  set_register_field(b, reg::kInConcatMerge,
                     mapping.merge_info && !mapping.merge_info->is_add ? 1 : 0);
}

}  // namespace morla::v2

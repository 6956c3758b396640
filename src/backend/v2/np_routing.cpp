#include "backend/v2/np_routing.h"

#include <algorithm>
#include <stdexcept>

#include "backend/v2/np_fields.h"

namespace morla::v2 {

namespace {

// The fields of one routing word: row (or low column), col (or high column), NP select.
struct LinkFields {
  BlockField row_or_low;
  BlockField col_or_high;
  BlockField id_mask;
};

constexpr LinkFields kDestination{reg::kDestRowOrLow, reg::kDestColOrHigh, reg::kDestIdMask};
constexpr LinkFields kSource{reg::kSourceRowOrLow, reg::kSourceColOrHigh, reg::kSourceIdMask};

// Row, col and the NP select of the only component.
void record_single(NpRegisters& b, const LinkFields& f, const hw::Component& c) {
  set_register_field(b, f.row_or_low, c.ident.row);
  set_register_field(b, f.col_or_high, c.ident.col);
  set_one_hot_field(b, f.id_mask, c.ident.id);
}

void record_span(NpRegisters& b, const LinkFields& f, const ComponentList& list) {
  const auto [low, high] = column_span(list);
  set_register_field(b, f.row_or_low, low);
  set_register_field(b, f.col_or_high, high);
}

}  // namespace

void record_p2p_routing(NpRegisters& b, const NpRoutes& r) {
  if (r.destinations.empty()) throw std::out_of_range("The layer has no destination components.");
  if (r.sources.empty()) throw std::out_of_range("The layer has no source components.");
  // Bit 0 of word 22, after the depthwise writers have put the NP's first channel in bits
  // 0-11: the flag replaces that channel's lowest bit.
  set_register_field(b, reg::kP2pOut, r.p2p_out ? 1 : 0);
  set_register_field(b, reg::kWord44Bit1, 0);
  set_register_field(b, reg::kWord44Bit3, 1);
  set_register_field(b, reg::kWord44Bits16To23, 8);
  set_register_field(b, reg::kWord44Bits24To31, 255);
  set_register_field(b, reg::kP2pFlag, r.p2p_flag ? 1 : 0);

  if (r.p2p_out) {
    if (r.destinations.size() != 1)
      throw std::runtime_error("Cannot use P2P OUT mode for multiple NPs.");
    record_single(b, kDestination, r.destinations.front());
  } else {
    record_span(b, kDestination, r.destinations);
  }
  // A TNP-B counts its input link one lower.
  const bool to_tnp_b = r.destinations.front().type == hw::Type::TNP_B;
  set_register_field(b, reg::kLinkByte, static_cast<uint8_t>(r.link_byte - (to_tnp_b ? 1 : 0)));

  if (r.p2p_in) {
    if (r.sources.size() != 1) throw std::runtime_error("Cannot use P2P IN mode for multiple NPs.");
    record_single(b, kSource, r.sources.front());
  } else {
    record_span(b, kSource, r.sources);
  }
  set_register_field(b, reg::kWord46Bit31, 0);

  if (r.store) {
    set_register_field(b, reg::kSkipStore, 1);
    set_register_field(b, reg::kSkipDistance, r.store->distance);
    set_register_field(b, reg::kSkipFlag, r.store->flag);
    set_register_field(b, reg::kSkipIndex, r.store->index);
  }

  const auto [dest_low, dest_high] = column_span(r.destinations);
  const auto [own_low, own_high] = column_span(r.own_nps);
  set_register_field(b, reg::kSpanLow, std::min(dest_low, own_low));
  set_register_field(b, reg::kSpanHigh, std::max(dest_high, own_high));
}

}  // namespace morla::v2

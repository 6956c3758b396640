#include "backend/v2/np_routing.h"

#include <algorithm>
#include <stdexcept>

namespace morla::v2 {

namespace {

// Bits 0-7 row, 8-15 col and 20-23 the NP select of the only component.
void record_single(NpRegisters& b, size_t word, const hw::Component& c) {
  set_bits(b, word, 0, 7, c.ident.row);
  set_bits(b, word, 8, 15, c.ident.col);
  set_bits(b, word, 20, 23, 1u << c.ident.id);
}

void record_span(NpRegisters& b, size_t word, const ComponentList& list) {
  const auto [low, high] = column_span(list);
  set_bits(b, word, 0, 7, low);
  set_bits(b, word, 8, 15, high);
}

}  // namespace

void record_p2p_routing(NpRegisters& b, const NpRoutes& r) {
  if (r.destinations.empty()) throw std::out_of_range("The layer has no destination components.");
  if (r.sources.empty()) throw std::out_of_range("The layer has no source components.");
  // Bit 0 of word 22, after the depthwise writers have put the NP's first channel in bits
  // 0-11: the flag replaces that channel's lowest bit.
  set_bits(b, 22, 0, 0, r.p2p_out ? 1 : 0);
  set_bits(b, 44, 1, 1, 0);
  set_bits(b, 44, 3, 3, 1);
  set_bits(b, 44, 16, 23, 8);
  set_bits(b, 44, 24, 31, 255);
  set_bits(b, 44, 2, 2, r.p2p_flag ? 1 : 0);

  if (r.p2p_out) {
    if (r.destinations.size() != 1)
      throw std::runtime_error("Cannot use P2P OUT mode for multiple NPs.");
    record_single(b, 45, r.destinations.front());
  } else {
    record_span(b, 45, r.destinations);
  }
  // A TNP-B counts its input link one lower.
  const bool to_tnp_b = r.destinations.front().type == hw::Type::TNP_B;
  set_bits(b, 45, 24, 31, static_cast<uint8_t>(r.link_byte - (to_tnp_b ? 1 : 0)));

  if (r.p2p_in) {
    if (r.sources.size() != 1) throw std::runtime_error("Cannot use P2P IN mode for multiple NPs.");
    record_single(b, 46, r.sources.front());
  } else {
    record_span(b, 46, r.sources);
  }
  set_bits(b, 46, 31, 31, 0);

  if (r.store) {
    set_bits(b, 46, 19, 19, 1);
    set_bits(b, 52, 24, 31, r.store->distance);
    set_bits(b, 52, 4, 4, r.store->flag);
    set_bits(b, 52, 16, 23, r.store->index);
  }

  const auto [dest_low, dest_high] = column_span(r.destinations);
  const auto [own_low, own_high] = column_span(r.own_nps);
  set_bits(b, 47, 0, 7, std::min(dest_low, own_low));
  set_bits(b, 47, 8, 15, std::max(dest_high, own_high));
}

}  // namespace morla::v2

#include "backend/v2/np_links.h"

#include "backend/v2/input_format.h"
#include "backend/v2/np_routing.h"
#include "contract/mapped_nps.h"

namespace morla::v2 {

LayerLinks layer_links(const LayerMapping& mapping) {
  return {collect_mapped_nps(mapping), collect_following_nps(mapping)};
}

void record_np_links(NpRegisters& block, const LayerMapping& m, const LayerLinks& links,
                     const hw::Component& np, const RecorderFlags& flags) {
  static const ComponentList kNone;
  // No mapping step asks for point-to-point input.
  record_p2p_routing(block, NpRoutes{links.sources, m.nps ? *m.nps : kNone, links.destinations,
                                     m.store_info ? &*m.store_info : nullptr, m.next_order, false,
                                     m.has_output_dma, flags.p2p_flag});
  if (flags.companion) {
    const LayerMapping* other = layer_mapping(*flags.companion);
    if (other && other->nps) {
      const auto entry = std::find_if(other->nps->begin(), other->nps->end(),
                                      [&](const hw::Component& c) { return c.ident == np.ident; });
      if (entry != other->nps->end())
        record_input_padding(block, *flags.companion, *entry, flags.p2p_flag);
    }
  }
  if (flags.mark_np_flag) set_np_flag(block);
}

}  // namespace morla::v2

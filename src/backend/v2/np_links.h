#pragma once
// What every v2 NP recorder does around its own fields: the components a layer is fed by
// and feeds, the routing words, the companion's input format and the NP flag, and which NPs
// are left out.
#include <algorithm>

#include "backend/v2/np_registers.h"
#include "backend/v2/recorder_flags.h"
#include "contract/layer_mapping.h"

namespace morla::v2 {

struct LayerLinks {
  ComponentList sources;
  ComponentList destinations;
};

LayerLinks layer_links(const LayerMapping& mapping);

// Routing, then the input format when the companion layer's mapping holds this NP, then the
// NP flag when asked.
void record_np_links(NpRegisters& block, const LayerMapping& mapping, const LayerLinks& links,
                     const hw::Component& np, const RecorderFlags& flags);

inline bool is_skipped(const RecorderFlags& flags, const hw::Ident& ident) {
  return std::find(flags.skip_idents.begin(), flags.skip_idents.end(), ident) !=
         flags.skip_idents.end();
}

}  // namespace morla::v2

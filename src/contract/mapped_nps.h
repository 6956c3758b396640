#pragma once
// The components around a mapped layer, as the recorders' routing words need them.
#include "contract/layer_mapping.h"

namespace morla {

// The components that feed the layer: every list of `inbound`, then the skip-DMA loads,
// then, for a TNP-B with skip DMAs, the skip-DMA stores.
ComponentList collect_mapped_nps(const LayerMapping& mapping);
// The components the layer feeds: every list of `outbound`, then, unless the layer is a
// TNP-B with skip DMAs, the skip-DMA stores.
ComponentList collect_following_nps(const LayerMapping& mapping);

}  // namespace morla

#pragma once
// The routing words of a v2 NP register block: where its input comes from, where its
// output goes, point-to-point modes and the skip-DMA store of its output.
#include <cstdint>

#include "backend/v2/np_registers.h"
#include "contract/layer_mapping.h"

namespace morla::v2 {

struct NpRoutes {
  const ComponentList& sources;       // the components that feed the layer
  const ComponentList& own_nps;       // the layer's own NPs
  const ComponentList& destinations;  // the components the layer feeds
  const SkipStoreInfo* store;         // the skip-DMA store of the output, or null
  uint8_t link_byte;
  bool p2p_in;
  bool p2p_out;
  bool p2p_flag;
};

// Words 22, 44-47 and the store fields of word 52. A point-to-point mode with other than
// one component throws std::runtime_error; empty source or destination lists throw
// std::out_of_range.
void record_p2p_routing(NpRegisters& block, const NpRoutes& routes);

}  // namespace morla::v2

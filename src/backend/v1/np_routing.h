#pragma once
// The register words every v1 NP block shares: output routing, point-to-point input from
// the previous pass, the DMA-configuration word and the first-of-pass flag.
#include <cstdint>
#include <memory>

#include "backend/v1/register_block.h"
#include "contract/layer_mapping.h"

namespace morla::v1 {

// Words 44-47 from the feeding components, the layer's NPs and the following components.
// Each list must hold at least one component. With `p2p_output` the following components
// must be exactly one ("Cannot use P2P mode for multiple NPs.").
void record_np_routing(RegisterBlock& block, const ComponentList& feeding, const ComponentList& nps,
                       const ComponentList& following, uint8_t next_order, bool p2p_output,
                       bool last_of_pass);
// Words 32-35, 4 and 14: this NP hands its output straight to `next`, the next pass's first
// layer, whose component on this NP is `target`.
void record_np_p2p(RegisterBlock& block, const Layer& next, const hw::Component& target);
// Word 49: the DMA that configures the NP.
void record_np_dma_conf(RegisterBlock& block, const hw::Ident& ident);
// Word 2 bit 7: the NP starts a pass.
void set_np_word2_flag(RegisterBlock& block);

// The component of `next`'s mapping on the NP `ident` (all four bytes equal), or null.
const hw::Component* find_np(const Layer& next, const hw::Ident& ident);

}  // namespace morla::v1

#pragma once
// Whether a chain of StatefulRecurrent layers fits the TNP-R: the rules of each layer, of
// the layer that ends the chain, and of the chain's four memory sizes. Every failing rule
// adds its message to one status, in rule order.
#include <cstdint>
#include <memory>

#include "engine_api/layer.h"
#include "contract/hardware_description.h"
#include "contract/mapping_status.h"

namespace morla::mote {

// The chain from `start` (a layer on the TNP-R), its tail and its memory sizes against the
// description's TNP-R limits.
MappingStatus check_stateful_model(const HardwareDescription& description,
                                   const std::shared_ptr<Layer>& start);

// One StatefulRecurrent layer; `state_channels` is the chain's "stateful_channels".
MappingStatus check_stateful_recurrent(const std::shared_ptr<Layer>& layer,
                                       uint32_t state_channels);

// The layer after the last StatefulRecurrent layer: a Dequantizer, or a MotePostProcessing
// fed by a StatefulRecurrent layer with unit output scale and zero output shift.
MappingStatus check_stateful_tail(const std::shared_ptr<Layer>& layer);

}  // namespace morla::mote

#pragma once
// Whether a FullyConnected layer fits a v1 FNP.
#include <cstdint>

#include "contract/mapping_status.h"

namespace morla {
struct HardwareDescription;
}

namespace morla::v1 {

// The FNP input limit in values: smaller on Orbi_v2.
uint32_t fnp_input_limit(uint32_t hw_version);

// Input bit width, input size (against the limit and the FNP input memory), weight and
// activation bit widths; failures are merged.
MappingStatus check_fully_connected(const HardwareDescription& description, const Layer& layer,
                                    uint32_t hw_version);
// Every weight within the range of "weights_bits" (first offending value named).
MappingStatus check_fnp_weight_range(const Layer& layer);
// A layer compiled for learning: every neuron has exactly "num_weights" non-zero weights.
MappingStatus check_fnp_weights_per_neuron(const Layer& layer);

}  // namespace morla::v1

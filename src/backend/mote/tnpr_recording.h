#pragma once
// The device program of a StatefulRecurrent chain on the TNP-R: a configuration block,
// the FSRAM image of the projection weights and the TSRAM image of the per-layer
// parameters. STSRAM and EVSRAM get no image; their sizes only enter the configuration.
#include <cstdint>
#include <memory>

#include "core/device.h"
#include "engine_api/layer.h"
#include "contract/program_record.h"

namespace morla::mote {

// Block kinds of the TNP-R program.
inline constexpr uint32_t kTnprConfigBlock = 13;
inline constexpr uint32_t kFsramImageBlock = 14;
inline constexpr uint32_t kTsramImageBlock = 15;
inline constexpr uint32_t kTnprConfigWords = 16;

// Records the checked chain that starts at `start`, a mapped StatefulRecurrent layer.
// Throws when a value does not fit its hardware field, a variable has the wrong type or
// not the chain's length, the chain is longer than 8 layers, or the start layer's mapping
// has no component.
program::RecordPtr record_stateful_recurrent(const Device& device,
                                             const std::shared_ptr<Layer>& start);

}  // namespace morla::mote

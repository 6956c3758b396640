#pragma once
// One row per layer type the v2 back end knows: the unit of the mesh that carries it, its
// check, its weight containers and its recorder. The checker, the sizer and the layer
// recorder read the row instead of each switching on the layer type.
#include <cstdint>
#include <memory>

#include "backend/v2/recorder_flags.h"
#include "core/device.h"
#include "engine_api/layer.h"
#include "contract/hardware_description.h"
#include "contract/mapping_status.h"
#include "contract/program_record.h"

namespace morla::v2 {

// What carries a layer of the type on a v2 device.
enum class Carrier {
  model_input,  // the model's input: checked, recorded empty, never sized
  host,         // the host (Quantizer, Dequantizer)
  skip_dma,     // skip DMAs, merged into the CNP layer that follows (Add, Concatenate)
  cnp,
  hrc,
  tnp_b,
  fnp,
  other_generation,  // a type another IP generation runs: refused, sized as nothing
};

// What a layer recorder hands to the recorder of a row.
struct RecordRequest {
  const Device& device;
  const HardwareDescription& description;
  const Layer& layer;
  const std::shared_ptr<Layer>& first_layer;
  const RecorderFlags& flags;
};

struct LayerTraits {
  LayerType type;
  Carrier carrier;
  // The type's own rules; null when it has none.
  MappingStatus (*check)(const HardwareDescription& description, const Layer& layer,
                         const Layer* inbound) = nullptr;
  // The 100-bit weight containers of `filters` filters on one NP; CNP and TNP-B types only.
  uint32_t (*weight_containers)(const Layer& layer, uint32_t filters) = nullptr;
  // The containers one container memory must address for `filters` filters, which must stay
  // below its reach; null when the type sets no such bound.
  uint32_t (*addressed_containers)(const Layer& layer, uint32_t filters) = nullptr;
  // Records the layer; null for an empty record.
  program::RecordPtr (*record)(const RecordRequest& request) = nullptr;
};

// The row of `type`; null for a type without one.
const LayerTraits* find_layer_traits(LayerType type);

}  // namespace morla::v2

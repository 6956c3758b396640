#pragma once
// One row per layer type the v1 back end knows: the unit that carries it, its checks and
// its recorder. The checker, the sizer and the layer recorder read the row instead of each
// switching on the layer type.
#include <cstdint>
#include <vector>

#include "backend/v1/pass_placement.h"
#include "core/device.h"
#include "engine_api/layer.h"
#include "contract/component.h"
#include "contract/hardware_description.h"
#include "contract/mapping_status.h"
#include "contract/program_record.h"

namespace morla::v1 {

// What carries a layer of the type on a v1 device.
enum class Carrier {
  model_input,  // the model's input: checked, recorded empty, never sized
  host,         // the host (Quantizer, Dequantizer)
  cnp,
  hrc,
  fnp,
  other_generation,  // a type another IP generation runs: refused, sized as nothing
};

struct LayerTraits {
  LayerType type;
  Carrier carrier;
  // The type's own rules; null when it has none.
  MappingStatus (*check)(const HardwareDescription& description, const Layer& layer,
                         uint32_t hw_version) = nullptr;
  // The rules of the layer spread over `components`; null when there are none.
  MappingStatus (*check_placement)(const Layer& layer, const std::vector<hw::Component>& components,
                                   uint32_t hw_version) = nullptr;
  // Records the layer; null for an empty record.
  program::RecordPtr (*record)(const Device& device, const Layer& layer,
                               const PassPlacement& placement) = nullptr;
};

// The row of `type`; null for a type without one.
const LayerTraits* find_layer_traits(LayerType type);

}  // namespace morla::v1

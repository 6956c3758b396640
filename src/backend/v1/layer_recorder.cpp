#include "backend/v1/layer_recorder.h"

#include <stdexcept>
#include <string>

#include "backend/v1/fnp_learning.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/layer_traits.h"
#include "backend/v1/pass_placement.h"
#include "core/device.h"
#include "engine_api/hardware_device.h"
#include "engine_api/layer_params.h"
#include "core/enums.h"
#include "contract/layer_mapping.h"

namespace morla::v1 {

program::RecordPtr LayerRecorderImpl::record_layer(const std::shared_ptr<Layer>& layer,
                                                   const std::shared_ptr<Layer>&,
                                                   const std::shared_ptr<Layer>& next_pass_first,
                                                   uint8_t first_of_pass, uint8_t last_of_pass,
                                                   const std::vector<hw::Ident>& skip_idents,
                                                   uint8_t handover, uint8_t) const {
  const PassPlacement placement{next_pass_first, first_of_pass != 0, last_of_pass != 0, skip_idents,
                                handover != 0};
  const LayerType type = layer_type(*layer);
  const LayerTraits* traits = find_layer_traits(type);
  if (!traits || traits->carrier == Carrier::other_generation)
    throw std::runtime_error("Unsupported layer type: " + std::to_string(static_cast<int>(type)) +
                             ".");
  if (!traits->record) return std::make_unique<program::Record>(version_word(device_->version()));
  return traits->record(*device_, *layer, placement);
}

LearningRecords LayerRecorderImpl::record_learning(const std::shared_ptr<Layer>& layer,
                                                   uint32_t first_of_pass) const {
  return record_fnp_learning(*device_, *layer, first_of_pass != 0);
}

void LayerRecorderImpl::sync_learning_vars(const std::shared_ptr<Layer>& layer) const {
  HardwareDevice* hardware = device_->hardware();
  if (!hardware)
    throw std::runtime_error("Cannot read learned values back from a device without hardware.");
  const LayerMapping& mapping = require_layer_mapping(*layer);
  if (!mapping.nps || mapping.nps->empty())
    throw std::out_of_range("The layer " + layer->name() + " is mapped on no NP.");
  sync_fnp_learning(*hardware, layer->variables(), mapping.nps->front().type == hw::Type::FNP3);
}

}  // namespace morla::v1

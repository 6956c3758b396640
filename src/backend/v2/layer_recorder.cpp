#include "backend/v2/layer_recorder.h"

#include <stdexcept>
#include <string>

#include "backend/v2/layer_traits.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "core/hw_version.h"

namespace morla::v2 {

program::RecordPtr LayerRecorderImpl::record_layer(const std::shared_ptr<Layer>& layer,
                                                   const std::shared_ptr<Layer>& first_layer,
                                                   const std::shared_ptr<Layer>& next_pass_first,
                                                   uint8_t first_of_pass, uint8_t last_of_pass,
                                                   const std::vector<hw::Ident>& skip_idents,
                                                   uint8_t handover, uint8_t recorder_flag) const {
  const RecorderFlags flags{next_pass_first, first_of_pass != 0, last_of_pass != 0,
                            skip_idents,     handover != 0,      recorder_flag != 0};
  const LayerType type = layer->params()->layer_type();
  const LayerTraits* traits = find_layer_traits(type);
  if (!traits || traits->carrier == Carrier::other_generation)
    throw std::runtime_error("Unsupported layer type: " + std::to_string(static_cast<int>(type)) +
                             ".");
  // Merge layers are programmed with the layers that carry them.
  if (!traits->record) return std::make_unique<program::Record>(version_word(device_->version()));
  return traits->record({*device_, *description_, *layer, first_layer, flags});
}

LearningRecords LayerRecorderImpl::record_learning(const std::shared_ptr<Layer>&, uint32_t) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

void LayerRecorderImpl::sync_learning_vars(const std::shared_ptr<Layer>&) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

}  // namespace morla::v2

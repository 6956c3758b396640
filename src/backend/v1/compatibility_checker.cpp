#include "backend/v1/compatibility_checker.h"

#include <algorithm>
#include <string>

#include "backend/v1/cnp_checks.h"
#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/fnp_checks.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/hrc_checks.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/rule_status.h"
#include "core/device.h"
#include "core/device_versions.h"
#include "core/enums.h"
#include "core/engine_api/layer_params.h"
#include "program/contract/hardware_description.h"

namespace morla::v1 {

namespace {

constexpr uint32_t kMaxNpInputLength = 32;

bool is_max_pooling_cnp(const Layer& layer) {
  return layer.is_target_component(ComponentKind::CNP) && layer.has_pool_type(PoolType::Max);
}

uint32_t packed_input_words(uint32_t height, uint32_t width, uint32_t channels, uint32_t bits) {
  return packed_words(packed_bytes(width, bits), channels, height);
}

}  // namespace

MappingStatus CompatibilityCheckerImpl::check_layer(const std::shared_ptr<Layer>& layer,
                                                    const std::shared_ptr<Layer>&,
                                                    uint32_t hw_version) const {
  if (hw_version == version_word(devices::Orbi_v1))
    return make_mapping_status(layer, "Orbi_v1 is not supported on this version. Please install morla 2.0.5 instead.");
  switch (layer_type(*layer)) {
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return {};
    case LayerType::InputConvolutional: return check_input_convolutional(*layer);
    case LayerType::FullyConnected: {
      MappingStatus status = check_fully_connected(*description_, *layer, hw_version);
      if (!status.ok()) return status;
      status = check_fnp_weight_range(*layer);
      if (!status.ok()) return status;
      return check_fnp_weights_per_neuron(*layer);
    }
    case LayerType::Convolutional: return check_convolutional(*description_, *layer, hw_version);
    case LayerType::SeparableConvolutional:
      return check_separable_convolutional(*description_, *layer, hw_version);
    default: return make_mapping_status(layer, "Unsupported layer type on Morla v1.");
  }
}

MappingStatus CompatibilityCheckerImpl::check_sequence(const std::vector<std::shared_ptr<Layer>>& layers,
                                                       uint32_t) const {
  if (layers.empty()) return {};
  const auto& last = layers.back();
  if (is_max_pooling_cnp(*last))
    return make_mapping_status(last, "A convolutional or separable convolutional layer with max pooling cannot be the last layer of a sequence.");
  for (const auto& layer : layers) {
    if (layer->is_target_component(ComponentKind::CNP)) continue;
    for (const auto& inbound : layer->inbounds()) {
      if (!inbound || !is_max_pooling_cnp(*inbound)) continue;
      const bool in_sequence = std::find(layers.begin(), layers.end(), inbound) != layers.end();
      if (in_sequence)
        return make_mapping_status(layer, "A convolutional or separable convolutional layer with max pooling must be followed by another convolutional or separable convolutional layer. Layer '" +
                                              inbound->name() + "' has max pooling.");
      break;
    }
  }
  return {};
}

MappingStatus CompatibilityCheckerImpl::check_np_mapping(const std::shared_ptr<Layer>& layer,
                                                         const std::vector<hw::Component>& components,
                                                         bool) const {
  MappingStatus status;
  switch (layer_type(*layer)) {
    case LayerType::InputConvolutional:
    case LayerType::FullyConnected: break;
    case LayerType::SeparableConvolutional: status = check_multi_np_pooling(*layer, components); break;
    case LayerType::Convolutional:
      status = check_multi_np_convolution(*layer, components, version_word(*device_));
      break;
    default: return make_mapping_status(layer, "unknown Layer type.");
  }
  if (!status.ok()) return status;
  // The last NP whose input is too wide names the failure.
  for (const auto& component : components) {
    if (component.type != hw::Type::CNP1 && component.type != hw::Type::CNP2) continue;
    if (!component.np_block) continue;
    const uint32_t length = (component.np_block->spatial_partition.shape[0] + 3) / 4 * 4;
    if (length > kMaxNpInputLength)
      status = make_mapping_status(layer, "The input length " + std::to_string(length) +
                                              " exceeds the maximum value for NP input width: " +
                                              std::to_string(kMaxNpInputLength) + ".");
  }
  return status;
}

bool CompatibilityCheckerImpl::fits_single_buffer(hw::Type, uint32_t height, uint32_t width,
                                                  uint32_t channels, uint32_t, uint32_t input_bits,
                                                  uint32_t) const {
  return packed_input_words(height, width, channels, input_bits) <=
         (*description_)[HardwareDescription::single_buffer_words];
}

bool CompatibilityCheckerImpl::fits_dual_buffer(hw::Type, uint32_t height, uint32_t width,
                                                uint32_t channels, uint32_t, uint32_t input_bits,
                                                uint32_t) const {
  return packed_input_words(height, width, channels, input_bits) <=
         (*description_)[HardwareDescription::dual_buffer_words];
}

bool CompatibilityCheckerImpl::fits_weights(const std::shared_ptr<Layer>& layer, uint32_t filters) const {
  return fits_cnp_weights(*description_, *layer, filters);
}

LayerGeometry CompatibilityCheckerImpl::layer_geometry(hw::Type, const LayerParams& params) const {
  const auto p = [&](const char* key) { return static_cast<uint32_t>(params.get(key)); };
  const uint32_t kernel_width = p("kernel_width"), kernel_height = p("kernel_height");
  return {kernel_width / 2,   kernel_width / 2, kernel_height / 2, kernel_height / 2,
          p("pool_type"),     p("pooling_width"), p("pooling_height"), p("filters")};
}

bool CompatibilityCheckerImpl::fits_fnp3(const HardwareDescription& description,
                                         const std::shared_ptr<Layer>& layer) const {
  return fnp_weight_words(*layer) <= description[HardwareDescription::weight_units];
}

}  // namespace morla::v1

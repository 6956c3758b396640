#include "backend/v1/compatibility_checker.h"

#include <algorithm>
#include <string>

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/layer_traits.h"
#include "core/device.h"
#include "core/device_versions.h"
#include "engine_api/layer_params.h"
#include "core/enums.h"
#include "contract/hardware_description.h"
#include "contract/layer_rules.h"

namespace morla::v1 {

namespace {

constexpr uint32_t kMaxNpInputLength = 32;

bool is_max_pooling_cnp(const Layer& layer) {
  return layer.is_target_component(ComponentKind::CNP) && layer.has_pool_type(PoolType::Max);
}

// Before any rule of a layer.
const Rule<uint32_t> kVersionRules[] = {
    {[](const uint32_t& hw_version) { return hw_version == version_word(devices::Orbi_v1); },
     "Orbi_v1 is not supported on this version. Please install morla 2.0.5 instead."},
};

// The rule of the last layer of a sequence.
const Rule<Layer> kLastLayerRules[] = {
    {is_max_pooling_cnp,
     "A convolutional or separable convolutional layer with max pooling cannot be the last layer "
     "of a sequence."},
};

struct LayerInRun {
  const std::vector<std::shared_ptr<Layer>>& run;
  const Layer& layer;

  // The first max-pooling CNP inbound of a layer that is not on a CNP, when it lies in the run.
  std::shared_ptr<Layer> max_pooling_inbound() const {
    if (layer.is_target_component(ComponentKind::CNP)) return nullptr;
    for (const auto& inbound : layer.inbounds()) {
      if (!inbound || !is_max_pooling_cnp(*inbound)) continue;
      return std::find(run.begin(), run.end(), inbound) != run.end() ? inbound : nullptr;
    }
    return nullptr;
  }
};

const Rule<LayerInRun> kFollowerRules[] = {
    {[](const LayerInRun& f) { return f.max_pooling_inbound() != nullptr; },
     [](const LayerInRun& f) {
       return "A convolutional or separable convolutional layer with max pooling must be followed "
              "by "
              "another convolutional or separable convolutional layer. Layer '" +
              f.max_pooling_inbound()->name() + "' has max pooling.";
     }},
};

// The input length of the last CNP whose input is too wide, or 0: that NP names the failure.
uint32_t too_wide_input(const std::vector<hw::Component>& components) {
  uint32_t too_wide = 0;
  for (const auto& component : components) {
    if (component.type != hw::Type::CNP1 && component.type != hw::Type::CNP2) continue;
    if (!component.np_block) continue;
    const uint32_t length = (component.np_block->spatial_partition.shape[0] + 3) / 4 * 4;
    if (length > kMaxNpInputLength) too_wide = length;
  }
  return too_wide;
}

const Rule<std::vector<hw::Component>> kNpInputRules[] = {
    {[](const std::vector<hw::Component>& c) { return too_wide_input(c) != 0; },
     [](const std::vector<hw::Component>& c) {
       return "The input length " + std::to_string(too_wide_input(c)) +
              " exceeds the maximum value for NP input width: " +
              std::to_string(kMaxNpInputLength) + ".";
     }},
};

uint32_t packed_input_words(uint32_t height, uint32_t width, uint32_t channels, uint32_t bits) {
  return packed_words(packed_bytes(width, bits), channels, height);
}

}  // namespace

MappingStatus CompatibilityCheckerImpl::check_layer(const std::shared_ptr<Layer>& layer,
                                                    const std::shared_ptr<Layer>&,
                                                    uint32_t hw_version) const {
  RuleStatus version(*layer);
  if (version.every(kVersionRules, hw_version).failed()) return version;
  const LayerTraits* traits = find_layer_traits(layer_type(*layer));
  if (!traits || traits->carrier == Carrier::other_generation)
    return make_mapping_status(layer, "Unsupported layer type on Morla v1.");
  if (!traits->check) return {};
  return traits->check(*description_, *layer, hw_version);
}

MappingStatus CompatibilityCheckerImpl::check_sequence(
    const std::vector<std::shared_ptr<Layer>>& layers, uint32_t) const {
  RuleStatus status(nullptr);
  if (layers.empty()) return status;
  if (status.merge(RuleStatus(*layers.back()).every(kLastLayerRules, *layers.back())).failed())
    return status;
  for (const auto& layer : layers)
    if (status.merge(RuleStatus(*layer).first(kFollowerRules, LayerInRun{layers, *layer})).failed())
      return status;
  return status;
}

MappingStatus CompatibilityCheckerImpl::check_np_mapping(
    const std::shared_ptr<Layer>& layer, const std::vector<hw::Component>& components, bool) const {
  const LayerTraits* traits = find_layer_traits(layer_type(*layer));
  if (!traits || !traits->check_placement) return make_mapping_status(layer, "unknown Layer type.");
  const MappingStatus status =
      traits->check_placement(*layer, components, version_word(device_->version()));
  if (!status.ok()) return status;
  return RuleStatus(*layer).every(kNpInputRules, components);
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

bool CompatibilityCheckerImpl::fits_weights(const std::shared_ptr<Layer>& layer,
                                            uint32_t filters) const {
  return fits_cnp_weights(*description_, *layer, filters);
}

LayerGeometry CompatibilityCheckerImpl::layer_geometry(hw::Type, const LayerParams& params) const {
  const auto p = [&](const char* key) { return static_cast<uint32_t>(params.get(key)); };
  const uint32_t kernel_width = p("kernel_width"), kernel_height = p("kernel_height");
  return {kernel_width / 2, kernel_width / 2,   kernel_height / 2,   kernel_height / 2,
          p("pool_type"),   p("pooling_width"), p("pooling_height"), p("filters")};
}

bool CompatibilityCheckerImpl::fits_fnp3(const HardwareDescription& description,
                                         const std::shared_ptr<Layer>& layer) const {
  return fnp_weight_words(*layer) <= description[HardwareDescription::weight_units];
}

}  // namespace morla::v1

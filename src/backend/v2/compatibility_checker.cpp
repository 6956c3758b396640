#include "backend/v2/compatibility_checker.h"

#include <stdexcept>
#include <string>

#include "backend/v2/cnp_checks.h"
#include "backend/v2/fnp_sizes.h"
#include "backend/v2/layer_traits.h"
#include "backend/v2/sequence_rules.h"
#include "backend/v2/tnp_b_sizes.h"
#include "engine_api/layer.h"
#include "engine_api/layer_params.h"
#include "contract/bitwidth.h"
#include "contract/layer_rules.h"

namespace morla::v2 {

namespace {

using Word = HardwareDescription::Word;

// Containers a single weight container memory can address.
constexpr uint32_t kMaxContainers = 0x40000;

struct VariableBudget {
  const char* name;
  uint32_t bits;
};

constexpr VariableBudget kVariableBudgets[] = {
    {"input_shift", 3},  {"max_value_shift", 5}, {"bias_shift", 5},
    {"output_shift", 6}, {"output_scales", 8},
};

// The row of a layer type the v2 checker maps; null for one it refuses.
const LayerTraits* mapped_traits(const Layer& layer) {
  const LayerTraits* traits = find_layer_traits(layer.params()->layer_type());
  return traits && traits->carrier != Carrier::other_generation ? traits : nullptr;
}

struct ActivationFacts {
  const Layer& layer;
  const Mesh& mesh;
};

const Rule<ActivationFacts> kActivationRules[] = {
    {[](const ActivationFacts& f) {
       const Layer& l = f.layer;
       return !l.is_target_component(ComponentKind::CNP) &&
              !l.is_target_component(ComponentKind::HRC) && l.has_activation() &&
              !l.has_activation_type(ActivationType::ReLU);
     },
     [](const ActivationFacts& f) {
       const auto activation = static_cast<ActivationType>(f.layer.params()->get("activation"));
       return "Does not support activation type '" + LayerParams::as_name(activation) + "'.";
     }},
    {[](const ActivationFacts& f) {
       return f.layer.has_activation_type(ActivationType::LUT) && !f.mesh.has_lut_on_all_nps();
     },
     "Lookup tables are missing on some NPs."},
};

bool fits_buffer(uint32_t capacity, hw::Type type, uint32_t rows, uint32_t cols, uint32_t channels,
                 uint32_t fifo_size, uint32_t bits, uint32_t reserve) {
  const uint32_t words = np_input_buffer_words(type, rows, cols, channels, fifo_size, bits);
  // A reserve beyond the capacity leaves no room at all.
  if (reserve > capacity) return false;
  return words <= capacity - reserve;
}

}  // namespace

MappingStatus check_activation_support(const Layer& layer, const Mesh& mesh) {
  return RuleStatus(layer).every(kActivationRules, ActivationFacts{layer, mesh});
}

uint32_t layer_weight_containers(const Layer& layer, uint32_t filters) {
  const LayerTraits* traits = find_layer_traits(layer.params()->layer_type());
  if (!traits || !traits->weight_containers)
    throw std::invalid_argument("Unexpected layer type for CNP or TNP-B.");
  return traits->weight_containers(layer, filters);
}

uint32_t np_input_buffer_words(hw::Type type, uint32_t rows, uint32_t cols, uint32_t channels,
                               uint32_t fifo_size, uint32_t bits) {
  switch (type) {
    case hw::Type::CNP1:
    case hw::Type::CNP2: return cnp_input_words(rows, cols, channels, bits);
    // The frame buffer is held once more than the FIFO is deep.
    case hw::Type::TNP_B: return (fifo_size + 1) * tnp_b_frame_words(rows, cols, channels, bits);
    default: throw std::runtime_error("Type of NP not supported.");
  }
}

MappingStatus CompatibilityCheckerImpl::check_layer(const std::shared_ptr<Layer>& layer,
                                                    const std::shared_ptr<Layer>& inbound,
                                                    uint32_t /*hw_version*/) const {
  MappingStatus variables;
  for (const auto& budget : kVariableBudgets)
    variables.merge(check_variable_bitwidth(layer, budget.bits, budget.name, false));
  MappingStatus result;
  result.merge(variables);
  result.merge(check_activation_support(*layer, device_->mesh()));
  const LayerTraits* traits = mapped_traits(*layer);
  if (!traits) return make_mapping_status(*layer, "Unsupported layer type on Morla v2.");
  if (traits->check) result.merge(traits->check(*description_, *layer, inbound.get()));
  return result;
}

MappingStatus CompatibilityCheckerImpl::check_sequence(
    const std::vector<std::shared_ptr<Layer>>& layers, uint32_t /*hw_version*/) const {
  return check_v2_sequence(layers);
}

MappingStatus CompatibilityCheckerImpl::check_np_mapping(
    const std::shared_ptr<Layer>& layer, const std::vector<hw::Component>& components,
    bool new_pass) const {
  return check_v2_np_mapping(*layer, components, new_pass);
}

bool CompatibilityCheckerImpl::fits_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                                  uint32_t channels, uint32_t fifo_size,
                                                  uint32_t input_bits,
                                                  uint32_t reserved_words) const {
  return fits_buffer((*description_)[Word::single_buffer_words], type, height, width, channels,
                     fifo_size, input_bits, reserved_words);
}

bool CompatibilityCheckerImpl::fits_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                                uint32_t channels, uint32_t fifo_size,
                                                uint32_t input_bits,
                                                uint32_t reserved_words) const {
  return fits_buffer((*description_)[Word::dual_buffer_words], type, height, width, channels,
                     fifo_size, input_bits, reserved_words);
}

bool CompatibilityCheckerImpl::fits_weights(const std::shared_ptr<Layer>& layer,
                                            uint32_t filters) const {
  const uint32_t containers = layer_weight_containers(*layer, filters);
  const auto addressed = find_layer_traits(layer->params()->layer_type())->addressed_containers;
  if (addressed && addressed(*layer, filters) >= kMaxContainers) return false;
  return containers <= (*description_)[Word::weight_capacity];
}

LayerGeometry CompatibilityCheckerImpl::layer_geometry(hw::Type type,
                                                       const LayerParams& params) const {
  const auto get = [&](const char* key) {
    return params.has(key) ? static_cast<uint32_t>(params.get(key)) : 0u;
  };
  const uint32_t halo = type == hw::Type::TNP_B ? 0 : get("kernel_size") / 2;
  const uint32_t pool_size = get("pool_size");
  return {halo, halo, halo, halo, get("pool_type"), pool_size, pool_size, get("filters")};
}

bool CompatibilityCheckerImpl::fits_fnp3(const HardwareDescription& description,
                                         const std::shared_ptr<Layer>& layer) const {
  return fnp_weight_words(*layer) <= description[Word::weight_units];
}

}  // namespace morla::v2

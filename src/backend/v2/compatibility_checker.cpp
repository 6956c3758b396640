#include "backend/v2/compatibility_checker.h"

#include <optional>
#include <stdexcept>
#include <string>

#include "backend/v2/cnp_checks.h"
#include "backend/v2/cnp_weight_layout.h"
#include "backend/v2/fnp_sizes.h"
#include "backend/v2/hrc_checks.h"
#include "backend/v2/tnp_b_checks.h"
#include "backend/v2/tnp_b_sizes.h"
#include "backend/v2/merge_checks.h"
#include "backend/v2/sequence_rules.h"
#include "program/contract/bitwidth.h"
#include "core/engine_api/layer.h"
#include "core/engine_api/layer_params.h"

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
    {"input_shift", 3}, {"max_value_shift", 5}, {"bias_shift", 5},
    {"output_shift", 6}, {"output_scales", 8},
};

LayerType type_of(const Layer& layer) { return layer.params()->layer_type(); }

uint32_t uparam(const Layer& layer, const char* key) {
  return static_cast<uint32_t>(layer.params()->get(key));
}

// The per-type rules; null for a type the checker does not know.
std::optional<MappingStatus> check_by_type(const HardwareDescription& d, const Layer& layer,
                                           const Layer* inbound) {
  switch (type_of(layer)) {
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return MappingStatus();
    case LayerType::Add: return check_add(layer);
    case LayerType::Concatenate: return check_concatenate(layer);
    case LayerType::Conv2D: return check_conv2d(d, layer);
    case LayerType::DepthwiseConv2D: return check_depthwise_conv2d(d, layer);
    case LayerType::Conv2DTranspose: return check_conv2d_transpose(d, layer);
    case LayerType::DepthwiseConv2DTranspose: return check_depthwise_conv2d_transpose(d, layer);
    case LayerType::Dense1D: return check_dense1d(d, layer, inbound);
    case LayerType::InputConv2D: return check_input_conv2d(layer);
    case LayerType::BufferTempConv: return check_buffer_temp_conv(d, layer);
    case LayerType::DepthwiseBufferTempConv: return check_depthwise_buffer_temp_conv(d, layer);
    default: return std::nullopt;
  }
}

bool fits_buffer(uint32_t capacity, hw::Type type, uint32_t rows, uint32_t cols,
                 uint32_t channels, uint32_t fifo_size, uint32_t bits, uint32_t reserve) {
  const uint32_t words = np_input_buffer_words(type, rows, cols, channels, fifo_size, bits);
  // A reserve beyond the capacity leaves no room at all.
  if (reserve > capacity) return false;
  return words <= capacity - reserve;
}

}  // namespace

MappingStatus check_activation_support(const Layer& layer, const Mesh& mesh) {
  MappingStatus status;
  if (!layer.is_target_component(ComponentKind::CNP) &&
      !layer.is_target_component(ComponentKind::HRC) && layer.has_activation() &&
      !layer.has_activation_type(ActivationType::ReLU)) {
    const auto activation = static_cast<ActivationType>(layer.params()->get("activation"));
    status.merge(make_mapping_status(
        layer, "Does not support activation type '" + LayerParams::as_name(activation) + "'."));
  }
  if (layer.has_activation_type(ActivationType::LUT) && !mesh.has_lut_on_all_nps())
    status.merge(make_mapping_status(layer, "Lookup tables are missing on some NPs."));
  return status;
}

uint32_t layer_weight_containers(const Layer& layer, uint32_t filters) {
  const uint32_t channels = layer.input_dims()[2];
  switch (type_of(layer)) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
      return ch_cont_size(uparam(layer, "kernel_size"), filters, uparam(layer, "weights_bits")) *
             channels;
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
      return depthwise_ch_cont_size(uparam(layer, "kernel_size"), filters,
                                    uparam(layer, "weights_bits"));
    case LayerType::BufferTempConv:
      return tnp_b_weight_size(uparam(layer, "fifo_size"), filters, channels);
    case LayerType::DepthwiseBufferTempConv:
      return depthwise_tnp_b_weight_size(uparam(layer, "fifo_size"), filters);
    default: throw std::invalid_argument("Unexpected layer type for CNP or TNP-B.");
  }
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
  const auto by_type = check_by_type(*description_, *layer, inbound.get());
  if (!by_type) return make_mapping_status(*layer, "Unsupported layer type on Morla v2.");
  result.merge(*by_type);
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
  switch (type_of(*layer)) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
      if (ch_cont_size(uparam(*layer, "kernel_size"), filters, uparam(*layer, "weights_bits")) >=
          kMaxContainers)
        return false;
      break;
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
      if (containers >= kMaxContainers) return false;
      break;
    case LayerType::BufferTempConv:
      if (tnp_b_ch_cont_size(filters) >= kMaxContainers) return false;
      break;
    default: break;
  }
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

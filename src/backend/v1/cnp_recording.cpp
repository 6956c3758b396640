#include "backend/v1/cnp_recording.h"

#include <algorithm>

#include "backend/v1/block_types.h"
#include "backend/v1/cnp_registers.h"
#include "backend/v1/cnp_weight_packing.h"
#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/np_fields.h"
#include "backend/v1/np_routing.h"
#include "core/device.h"
#include "engine_api/v1_layers.h"
#include "ops/conversion.h"
#include "contract/mapped_nps.h"

namespace morla::v1 {

namespace {

// One CNP's program before it is appended.
struct CnpProgram {
  const hw::Component* component;
  RegisterBlock registers;
  std::vector<uint32_t> weights;  // standard weights, or the pointwise weights
};

// What differs between the standard and the separable CNP.
struct CnpKind {
  bool separable;
  // Weight fields of the register block and the NP's weights.
  std::vector<uint32_t> (*weights)(const Layer& layer, const hw::NpBlock& piece);
  void (*weight_fields)(RegisterBlock& block, const Layer& layer, const hw::NpBlock& piece,
                        size_t weight_words);
};

std::vector<uint32_t> standard_weights(const Layer& layer, const hw::NpBlock& piece) {
  const auto weights = variable(layer, "weights");
  const int bits = param(layer, "weights_bits");
  if (bits == 4) return pack_cnp_weights(*weights, piece.start_neuron, piece.filters);
  return format_cnp_weights(*weights, bits == 2, piece.start_neuron, piece.filters);
}

void standard_weight_fields(RegisterBlock& block, const Layer& layer, const hw::NpBlock& piece,
                            size_t weight_words) {
  const uint32_t channels = input_shape(layer)[2];
  const int bits = param(layer, "weights_bits");
  const int kernel = param(layer, "kernel_width");
  const uint32_t neurons = piece.filters;
  set_register_field(block, reg::kChannelWeightWords,
                     static_cast<uint32_t>(weight_words / channels / 4));
  set_register_field(block, reg::kSeparable, 0);
  set_register_field(block, reg::kWeights4Bit, bits == 4);
  set_register_field(block, reg::kPointwiseNeurons, kernel == 1 ? neurons : 0);
  set_register_field(block, reg::kMultiBitNeurons, kernel != 1 && bits >= 2 ? neurons : 0);
  set_register_field(block, reg::kBinaryNeurons, kernel != 1 && bits == 1 ? neurons : 0);
  set_register_field(block, reg::kWord22Bits0To10, 0);
}

std::vector<uint32_t> pointwise_weights(const Layer& layer, const hw::NpBlock& piece) {
  return format_pointwise_weights(*variable(layer, "weights_pw"), param(layer, "weights_bits"),
                                  piece.start_neuron, piece.filters);
}

void separable_weight_fields(RegisterBlock& block, const Layer& layer, const hw::NpBlock& piece,
                             size_t) {
  const int bits = param(layer, "weights_bits");
  const auto kernel = static_cast<uint32_t>(param(layer, "kernel_width"));
  set_register_field(block, reg::kSeparable, 1);
  set_register_field(block, reg::kWeightBitsCode, static_cast<uint32_t>(bits / 2));
  set_register_field(block, reg::kPointwiseBitsHalf, static_cast<uint32_t>(bits / 2));
  set_register_field(block, reg::kPointwiseGroups, pointwise_groups(piece.filters, bits));
  set_register_field(block, reg::kDepthwiseWeightPairs,
                     depthwise_weight_words(kernel, input_shape(layer)[2], bits) / 2);
}

program::RecordPtr record_cnp_layer(const Device& device, const WindowedV1Layer& layer,
                                    const PassPlacement& placement, const CnpKind& kind) {
  const LayerMapping& mapping = require_layer_mapping(layer);
  const ComponentList nps = mapping.nps ? *mapping.nps : ComponentList{};
  const ComponentList feeding = collect_mapped_nps(mapping);
  const ComponentList following = collect_following_nps(mapping);

  CnpSplitSettings settings;
  settings.input = input_shape(layer);
  settings.order = mapping.order;
  settings.input_bits = static_cast<uint8_t>(layer.input_bits());
  settings.kernel = static_cast<uint32_t>(param(layer, "kernel_width"));
  settings.stride = static_cast<uint32_t>(param(layer, "stride_x"));
  settings.conv_padding = cnp_conv_padding(layer);
  settings.activation = param(layer, "activation") != 0;
  settings.act_bits = static_cast<uint32_t>(param(layer, "act_bits"));
  settings.pooling = cnp_pooling(layer);
  settings.np_count = static_cast<uint32_t>(nps.size());

  std::vector<CnpProgram> programs;
  for (const auto& component : nps) {
    if (std::find(placement.skip_idents.begin(), placement.skip_idents.end(), component.ident) !=
        placement.skip_idents.end())
      continue;
    const hw::NpBlock& piece = require_np_block(component);
    CnpProgram program{&component, init_np_registers(), kind.weights(layer, piece)};
    record_cnp_split_registers(program.registers, settings, piece);
    record_cnp_padding_edges(program.registers, settings.input, piece.spatial_partition,
                             settings.pooling);
    kind.weight_fields(program.registers, layer, piece, program.weights.size());
    record_np_routing(program.registers, feeding, nps, following, mapping.next_order,
                      mapping.has_output_dma, placement.last_of_pass);
    if (placement.next_pass_first)
      if (const hw::Component* target = find_np(*placement.next_pass_first, component.ident))
        record_np_p2p(program.registers, *placement.next_pass_first, *target);
    if (placement.first_of_pass) set_np_word2_flag(program.registers);
    programs.push_back(std::move(program));
  }

  auto record = std::make_unique<program::Record>(version_word(device.version()));
  if (programs.empty()) return record;
  std::vector<uint32_t> depthwise;
  std::shared_ptr<Dense> act_step, threshold;
  bool activation = false;
  if (!placement.handover) {
    if (kind.separable)
      depthwise =
          format_depthwise_weights(*variable(layer, "weights"), param(layer, "weights_bits"));
    act_step = float_to_fixed_q4(*variable(layer, "act_step"));
    threshold = variable(layer, "threshold");
    activation = param(layer, "activation") != 0;
  }
  for (const auto& program : programs) {
    const hw::Ident& ident = program.component->ident;
    record->append_np_program(ident, block::kRegisters, 0, program.registers, true, true);
    if (placement.handover) continue;
    if (kind.separable) {
      record->append_np_program(ident, block::kCnpWeights, 0, depthwise, true, true);
      const auto offset = static_cast<uint16_t>((depthwise.size() + 15) / 16);
      record->append_np_program(ident, block::kCnpWeights, offset, program.weights, true, true);
    } else {
      record->append_np_program(ident, block::kCnpWeights, 0, program.weights, true, true);
    }
    const hw::NpBlock& piece = require_np_block(*program.component);
    record->append_np_program(ident, block::kCnpThresholds, 0,
                              build_cnp_threshold_words(*threshold, *act_step, activation,
                                                        piece.start_neuron, piece.filters),
                              true, true);
  }
  return record;
}

}  // namespace

program::RecordPtr record_convolutional(const Device& device, const Layer& layer,
                                        const PassPlacement& placement) {
  static const CnpKind kind{false, standard_weights, standard_weight_fields};
  return record_cnp_layer(device, as_engine_type<Convolutional>(layer), placement, kind);
}

program::RecordPtr record_separable_convolutional(const Device& device, const Layer& layer,
                                                  const PassPlacement& placement) {
  static const CnpKind kind{true, pointwise_weights, separable_weight_fields};
  return record_cnp_layer(device, as_engine_type<SeparableConvolutional>(layer), placement, kind);
}

}  // namespace morla::v1

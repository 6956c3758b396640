#include "backend/v2/cnp_recorder.h"

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "backend/v2/built_records.h"
#include "backend/v2/cnp_config.h"
#include "backend/v2/cnp_pooling.h"
#include "backend/v2/cnp_shifts.h"
#include "backend/v2/cnp_weight_layout.h"
#include "backend/v2/layer_param.h"
#include "backend/v2/merge_programming.h"
#include "backend/v2/np_links.h"
#include "backend/v2/tensor_packing.h"
#include "backend/v2/variable_access.h"
#include "engine_api/layer_params.h"
#include "core/hw_version.h"
#include "contract/layer_mapping.h"
#include "contract/np_split.h"

namespace morla::v2 {

namespace {

enum BlockType : uint32_t {
  kInputShiftBlock = 2,
  kShiftScaleBlock = 5,
  kRegisterBlock = 7,
  kMergeShiftBlock = 10,
  kLookUpTableBlock = 12,
};

struct CnpVariant {
  LayerType type;
  bool depthwise;
  bool transposed;
};

// What the recorder reads once per layer.
struct LayerFacts {
  Shape input;
  uint32_t kernel_size = 0;
  uint32_t stride = 1;
  ActivationType activation = ActivationType::NoActivation;
  uint32_t input_bits = 0;
  uint32_t output_bits = 0;
  bool inbound_max_pooling = false;
  CnpPooling pooling;              // strides 1, size 1 for the transposed layers
  const uint32_t* conv = nullptr;  // null for the transposed layers
};

LayerFacts read_facts(const Layer& layer, const CnpVariant& v) {
  LayerFacts f;
  if (!v.transposed) {
    f.conv = conv_record(layer);
    f.pooling = read_cnp_pooling(layer);
  }
  f.activation = static_cast<ActivationType>(param(layer, "activation"));
  f.input = layer.input_dims();
  if (f.input.size() == 0) throw std::runtime_error("Cannot get input size before it is set.");
  f.kernel_size = static_cast<uint32_t>(param(layer, "kernel_size"));
  if (!v.transposed) f.stride = static_cast<uint32_t>(param(layer, "kernel_stride"));
  f.input_bits = layer.input_bits() & 0xFF;
  f.output_bits = layer.output_bits() & 0xFF;
  const auto inbounds = layer.inbounds();
  if (!inbounds.empty() && inbounds.front())
    f.inbound_max_pooling =
        inbounds.front()->has_pool_type(PoolType::Max) && !inbounds.front()->has_activation();
  return f;
}

std::unique_ptr<NpSplitInterface> split_of(const hw::NpBlock& part, const LayerFacts& f,
                                           const CnpVariant& v) {
  if (v.transposed)
    return std::make_unique<TransposedCnpSplit>(part.spatial_partition, part.input_window);
  const Padding4 padding{f.conv[4], f.conv[5], f.conv[6], f.conv[7]};
  const Padding4 pool_padding{
      static_cast<uint32_t>(f.pooling.pads[0]), static_cast<uint32_t>(f.pooling.pads[1]),
      static_cast<uint32_t>(f.pooling.pads[2]), static_cast<uint32_t>(f.pooling.pads[3])};
  return std::make_unique<NpSplit>(f.input, part.spatial_partition, part.input_window,
                                   f.kernel_size, f.stride, padding, f.pooling.size,
                                   static_cast<uint8_t>(f.pooling.stride_x), pool_padding);
}

const hw::NpBlock& split_part(const Layer& layer, const hw::Component& np) {
  if (!np.np_block)
    throw std::runtime_error("A component of layer '" + layer.name() + "' has no split part.");
  return *np.np_block;
}

NpRegisters register_block(const Layer& layer, const CnpVariant& v, const LayerFacts& f,
                           const LayerMapping& m, const hw::Component& np, const LayerLinks& links,
                           const ComponentList& peers, const RecorderFlags& flags) {
  const hw::NpBlock& part = split_part(layer, np);
  const uint8_t merge_kind = m.merge_info && m.merge_info->is_add ? 1 : 0;
  NpRegisters block = init_np_registers(np, m.order, flags.registers_only, merge_kind);
  const uint32_t weights_bits =
      v.transposed ? 8 : static_cast<uint32_t>(param(layer, "weights_bits"));
  const auto split = split_of(part, f, v);
  const uint32_t first_filter = m.concat_offset.value_or(0) + part.start_neuron;
  record_cnp_config(
      block, CnpNpConfig{*split, f.kernel_size, f.stride, f.activation, first_filter, part.filters,
                         weights_bits, *m.nps, part.single_buffer, v.transposed, f.input_bits,
                         f.output_bits, m.merge_info ? &*m.merge_info : nullptr, skip_dma_load(m),
                         peers, flags.input_format_flag, !flags.registers_only});
  if (v.depthwise)
    record_depthwise_geometry(block, *split, f.input_bits, f.kernel_size, weights_bits,
                              part.start_neuron, part.filters, f.input[2]);
  else
    record_standard_geometry(block, *split, f.input_bits, f.kernel_size, weights_bits,
                             part.filters);
  PoolEdges edges{1, 1, 0, {0, 0, 0, 0}};
  if (!v.transposed) {
    edges = {f.pooling.size, f.pooling.stride_x, f.pooling.flag, {}};
    std::copy(std::begin(f.pooling.pads), std::end(f.pooling.pads), edges.pads);
  }
  record_cnp_padding_edges(block, f.input, part.spatial_partition, edges, f.inbound_max_pooling);
  record_np_links(block, m, links, np, flags);
  return block;
}

// The Add's shifts packed for the merge, for elements first .. first + count - 1.
std::vector<uint32_t> merge_shift_bytes(const Layer& layer, const MergeInfo& merge, uint32_t first,
                                        std::optional<uint32_t> count) {
  const std::pair<const char*, const std::shared_ptr<Dense>&> named[] = {
      {"a_shift", merge.a_shift}, {"b_shift", merge.b_shift}, {"output_shift", merge.output_shift}};
  for (const auto& [name, tensor] : named)
    if (!tensor)
      throw std::runtime_error("Layer '" + layer.name() + "' merges an Add without its variable '" +
                               name + "'.");
  const uint32_t n = count.value_or(merge.a_shift->shape().size() ? merge.a_shift->shape()[0] : 0);
  for (const auto& [name, tensor] : named) require_elements(layer, name, *tensor, first, n);
  return pack_weights(*merge.a_shift, *merge.b_shift, *merge.output_shift, first, n);
}

program::RecordPtr record_cnp(const Device& device, const Layer& layer, const RecorderFlags& flags,
                              const CnpVariant& v) {
  if (layer.params()->layer_type() != v.type)
    throw std::runtime_error("Invalid layer type for CNP recording.");
  const LayerMapping& m = require_layer_mapping(layer);
  if (!m.nps) throw std::runtime_error("Layer '" + layer.name() + "' is mapped on no NP.");
  const LayerLinks links = layer_links(m);
  const LayerFacts facts = read_facts(layer, v);
  const hw::Component* learning = dual_skip_dma_store(m);
  const ComponentList peers = learning ? ComponentList{*learning} : links.destinations;

  std::map<hw::Ident, NpRegisters> blocks;
  for (const auto& np : *m.nps)
    if (!is_skipped(flags, np.ident))
      blocks.emplace(np.ident, register_block(layer, v, facts, m, np, links, peers, flags));

  auto record = std::make_unique<program::Record>(version_word(device.version()));
  std::vector<uint32_t> whole_input_shift;
  std::shared_ptr<Dense> input_shift;
  if (!v.depthwise && !flags.registers_only)
    whole_input_shift = copy_tensor_bytes(*required_variable(layer, "input_shift"));
  if (v.depthwise) input_shift = required_variable(layer, "input_shift");
  const LayerNeuronTensors neuron_variables = read_neuron_tensors(layer);
  const NeuronTensors& neurons = neuron_variables.tensors;
  const auto weights = required_variable(layer, "weights");
  const auto weights_bits = static_cast<uint32_t>(param(layer, "weights_bits"));
  const uint32_t kernel = weights->shape()[0];
  const uint32_t available = weights->shape().size() == 4 ? weights->shape()[3] : 0;
  const uint32_t standard_format = v.depthwise ? 0 : cnp_weight_format(kernel, weights_bits);

  for (const auto& np : *m.nps) {
    const auto block = blocks.find(np.ident);
    if (block == blocks.end()) continue;
    record->append_np_program(np.ident, kRegisterBlock, 0, block->second, true, true);
    if (flags.registers_only) continue;
    const uint32_t first = np.np_block->start_neuron, count = np.np_block->filters;
    if (size_t{first} + count > available)
      throw std::runtime_error("Layer '" + layer.name() + "': variable 'weights' holds " +
                               std::to_string(available) + " filters, filters " +
                               std::to_string(first) + " to " + std::to_string(first + count - 1) +
                               " are needed.");
    if (v.depthwise) {
      record->append_np_program(np.ident, depthwise_weight_format(kernel, weights_bits), 0,
                                format_depthwise_weights(*weights, first, count, weights_bits),
                                true, true);
      require_elements(layer, "input_shift", *input_shift, first, count);
      record->append_np_program(np.ident, kInputShiftBlock, 0,
                                copy_tensor_bytes(*input_shift, first, count), true, true);
    } else {
      record->append_np_program(np.ident, standard_format, 0,
                                format_cnp_weights(*weights, first, count, weights_bits), true,
                                true);
      record->append_np_program(np.ident, kInputShiftBlock, 0, whole_input_shift, true, true);
    }
    require_neuron_range(layer, neurons, first, count);
    record->append_np_program(np.ident, kShiftScaleBlock, 0,
                              record_cnp_shifts(neurons, first, count), true, true);
    if (layer.has_activation_type(ActivationType::LUT))
      record->append_np_program(np.ident, kLookUpTableBlock, 0,
                                pack_activation_lut_pairs(*required_variable(layer, "lut_values")),
                                true, true);
    if (m.merge_info && m.merge_info->is_add)
      record->append_np_program(np.ident, kMergeShiftBlock, 0,
                                v.depthwise
                                    ? merge_shift_bytes(layer, *m.merge_info, first, count)
                                    : merge_shift_bytes(layer, *m.merge_info, 0, std::nullopt),
                                true, true);
  }
  if (!flags.registers_only) record_merge_layers(*record, layer);
  return record;
}

}  // namespace

program::RecordPtr record_conv2d(const Device& device, const Layer& layer,
                                 const RecorderFlags& flags) {
  return record_cnp(device, layer, flags, {LayerType::Conv2D, false, false});
}

program::RecordPtr record_depthwise_conv2d(const Device& device, const Layer& layer,
                                           const RecorderFlags& flags) {
  return record_cnp(device, layer, flags, {LayerType::DepthwiseConv2D, true, false});
}

program::RecordPtr record_conv2d_transpose(const Device& device, const Layer& layer,
                                           const RecorderFlags& flags) {
  return record_cnp(device, layer, flags, {LayerType::Conv2DTranspose, false, true});
}

program::RecordPtr record_depthwise_conv2d_transpose(const Device& device, const Layer& layer,
                                                     const RecorderFlags& flags) {
  return record_cnp(device, layer, flags, {LayerType::DepthwiseConv2DTranspose, true, true});
}

}  // namespace morla::v2

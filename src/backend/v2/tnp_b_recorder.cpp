#include "backend/v2/tnp_b_recorder.h"

#include <map>
#include <stdexcept>
#include <string>

#include "backend/v2/cnp_config.h"
#include "backend/v2/cnp_shifts.h"
#include "backend/v2/layer_param.h"
#include "backend/v2/merge_programming.h"
#include "backend/v2/np_fields.h"
#include "backend/v2/np_links.h"
#include "backend/v2/tensor_packing.h"
#include "backend/v2/tnp_b_sizes.h"
#include "backend/v2/variable_access.h"
#include "backend/v2/weight_reader.h"
#include "engine_api/layer_params.h"
#include "core/hw_version.h"
#include "contract/np_split.h"

namespace morla::v2 {

namespace {

enum BlockType : uint32_t { kWeightImage = 1, kInputShift = 2, kShiftScale = 5, kRegisters = 7 };

// Taps a depthwise channel slot holds.
constexpr uint32_t kMaxDepthwiseTaps = 12;

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
uint32_t align4(uint32_t n) { return (n + 3) & ~3u; }

struct TnpFacts {
  bool depthwise;
  Shape input;
  ActivationType activation;
  uint32_t fifo;
  uint32_t input_bits;
  uint32_t output_bits;
};

void record_tnp_b_fields(NpRegisters& b, const TnpFacts& f, const hw::NpBlock& part) {
  const uint32_t c = part.spatial_partition.shape[2];
  const uint32_t w = part.input_window.shape[0], h = part.input_window.shape[1];
  const uint32_t filters = part.filters;
  // A depthwise NP that takes only part of the channels is told which ones.
  const bool channel_part = f.input[2] > filters;
  set_register_field(b, reg::kTnpB, 1);
  if (f.depthwise) {
    set_register_field(b, reg::kDepthwise, 1);
    set_register_field(b, reg::kChannelPart, channel_part);
  }
  set_register_field(b, reg::kInputWords, f.fifo);
  set_register_field(b, reg::kChannelWeightSize, f.depthwise ? 1 : tnp_b_ch_cont_size(filters));
  set_register_field(b, reg::kNeuronCount, c);
  if (f.depthwise) {
    // Word 22 as for a depthwise CNP: first channel and channel count; the routing writer
    // then puts the P2P-out flag in bit 0.
    set_register_field(b, reg::kFirstChannel, channel_part ? part.start_neuron : 0);
    set_register_field(b, reg::kChannelCount, channel_part ? filters : 0);
  }
  set_register_field(b, reg::kRowBytes, align4(c));
  set_register_field(b, reg::kChannelRowWords, align4(c) * w / 4);
  set_register_field(b, reg::kFilterBytes, f.depthwise ? 1 : ceil_div(filters, 8));
  set_register_field(b, reg::kWord30Bit0, 0);
  set_register_field(b, reg::kWord30Bit1, 1);
  set_register_field(b, reg::kFifo, f.fifo);
  set_register_field(b, reg::kFifoFrames, f.fifo + 1);
  set_register_field(b, reg::kFrameBlocks, tnp_b_frame_words(h, w, c, f.input_bits) / 64);
  set_register_field(b, reg::kWord56Bit31, 0);
}

NpRegisters register_block(const Layer& layer, const TnpFacts& f, const LayerMapping& m,
                           const hw::Component& np, const LayerLinks& links,
                           const RecorderFlags& flags) {
  if (!np.np_block)
    throw std::runtime_error("A component of layer '" + layer.name() + "' has no split part.");
  const hw::NpBlock& part = *np.np_block;
  NpRegisters block = init_np_registers(np, m.order, flags.registers_only, 0);
  const NpSplit split(f.input, part.spatial_partition, part.input_window, 1, 1, Padding4{}, 0, 1,
                      Padding4{});
  static const ComponentList kNoPeers;
  record_cnp_config(
      block, CnpNpConfig{split, 1, 0, f.activation, part.start_neuron, part.filters, 8, *m.nps,
                         part.single_buffer, false, f.input_bits, f.output_bits, nullptr, nullptr,
                         kNoPeers, flags.input_format_flag, false});
  record_tnp_b_fields(block, f, part);
  record_np_links(block, m, links, np, flags);
  return block;
}

program::RecordPtr record_tnp_b(const Device& device, const Layer& layer,
                                const RecorderFlags& flags, bool depthwise) {
  const LayerType type = depthwise ? LayerType::DepthwiseBufferTempConv : LayerType::BufferTempConv;
  if (layer.params()->layer_type() != type)
    throw std::runtime_error("Invalid layer type for TNP-B recording.");
  const LayerMapping& m = require_layer_mapping(layer);
  if (!m.nps) throw std::runtime_error("Layer '" + layer.name() + "' is mapped on no NP.");
  const LayerLinks links = layer_links(m);
  const TnpFacts facts{depthwise,
                       layer.input_dims(),
                       static_cast<ActivationType>(param(layer, "activation")),
                       static_cast<uint32_t>(param(layer, "fifo_size")),
                       layer.input_bits() & 0xFF,
                       layer.output_bits() & 0xFF};

  std::map<hw::Ident, NpRegisters> blocks;
  for (const auto& np : *m.nps)
    if (!is_skipped(flags, np.ident))
      blocks.emplace(np.ident, register_block(layer, facts, m, np, links, flags));

  auto record = std::make_unique<program::Record>(version_word(device.version()));
  std::vector<uint32_t> whole_input_shift;
  std::shared_ptr<Dense> input_shift, weights;
  LayerNeuronTensors neuron_variables;
  if (!flags.registers_only) {
    record_merge_layers(*record, layer);
    input_shift = required_variable(layer, "input_shift");
    if (!depthwise) whole_input_shift = copy_tensor_bytes(*input_shift);
    weights = required_variable(layer, "weights");
    neuron_variables = read_neuron_tensors(layer);
  }
  for (const auto& np : *m.nps) {
    const auto block = blocks.find(np.ident);
    if (block == blocks.end()) continue;
    record->append_np_program(np.ident, kRegisters, 0, block->second, true, true);
    if (flags.registers_only) continue;
    const uint32_t first = np.np_block->start_neuron, count = np.np_block->filters;
    if (depthwise) {
      require_elements(layer, "input_shift", *input_shift, first, count);
      if (weights->shape()[2] > kMaxDepthwiseTaps)
        throw std::runtime_error("Layer '" + layer.name() + "' has " +
                                 std::to_string(weights->shape()[2]) +
                                 " taps per channel; a TNP-B holds at most 12.");
      record->append_np_program(np.ident, kWeightImage, 0,
                                format_depthwise_tnp_b_weights(*weights, first, count), true, true);
      record->append_np_program(np.ident, kInputShift, 0,
                                copy_tensor_bytes(*input_shift, first, count), true, true);
    } else {
      const uint32_t fifo = static_cast<uint32_t>(param(layer, "fifo_size"));
      if (fifo == 0 || weights->shape()[2] % fifo != 0)
        throw std::runtime_error("Layer '" + layer.name() + "': a fifo_size of " +
                                 std::to_string(fifo) + " does not divide the " +
                                 std::to_string(weights->shape()[2]) + " weight rows.");
      record->append_np_program(np.ident, kWeightImage, 0,
                                format_tnp_b_weights(*weights, fifo, first, count), true, true);
      record->append_np_program(np.ident, kInputShift, 0, whole_input_shift, true, true);
    }
    require_neuron_range(layer, neuron_variables.tensors, first, count);
    record->append_np_program(np.ident, kShiftScale, 0,
                              record_cnp_shifts(neuron_variables.tensors, first, count), true,
                              true);
  }
  return record;
}

uint32_t padded_words(uint32_t words) {
  return program::is_long_np_block(words) ? (words + 15) & ~15u : words;
}

}  // namespace

std::vector<uint32_t> format_tnp_b_weights(const Dense& weights, uint32_t fifo_size, uint32_t first,
                                           uint32_t count) {
  const WeightReader w(weights);
  const uint32_t rows = w.dim(2);
  if (fifo_size == 0 || rows % fifo_size != 0)
    throw std::runtime_error("The FIFO size must divide the weight rows.");
  const uint32_t row_words = tnp_b_ch_cont_size(count) * 3;
  std::vector<uint32_t> image(padded_words(rows * row_words), 0);
  const uint32_t per_frame = rows / fifo_size;
  const StridedView<int8_t> at = w.view({1, 1, rows, index_extent(first, count)});
  for (uint32_t t = 0; t < fifo_size; ++t)
    for (uint32_t j = 0; j < per_frame; ++j) {
      const uint32_t source = t * per_frame + j;
      const size_t row_byte = size_t{j * fifo_size + t} * row_words * 4;
      // 24 filters fill the 6 words of a group, so filter n is byte n of the row.
      for (uint32_t n = 0; n < count; ++n)
        put_byte(image, row_byte + n, static_cast<uint8_t>(at(0, 0, source, first + n)));
    }
  return image;
}

std::vector<uint32_t> format_depthwise_tnp_b_weights(const Dense& weights, uint32_t first,
                                                     uint32_t count) {
  const WeightReader w(weights);
  const uint32_t taps = w.dim(2);
  if (taps > kMaxDepthwiseTaps)
    throw std::runtime_error("A TNP-B channel holds at most 12 taps, not " + std::to_string(taps) +
                             ".");
  std::vector<uint32_t> image(padded_words((3 * taps + 3) * count), 0);
  const StridedView<int8_t> at = w.view({1, 1, taps, index_extent(first, count)});
  for (uint32_t j = 0; j < count; ++j)
    for (uint32_t t = 0; t < taps; ++t)
      put_byte(image, size_t{12} * j + t, static_cast<uint8_t>(at(0, 0, t, first + j)));
  return image;
}

program::RecordPtr record_buffer_temp_conv(const Device& device, const Layer& layer,
                                           const RecorderFlags& flags) {
  return record_tnp_b(device, layer, flags, false);
}

program::RecordPtr record_depthwise_buffer_temp_conv(const Device& device, const Layer& layer,
                                                     const RecorderFlags& flags) {
  return record_tnp_b(device, layer, flags, true);
}

}  // namespace morla::v2

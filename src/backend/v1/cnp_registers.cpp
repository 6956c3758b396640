#include "backend/v1/cnp_registers.h"

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/field_fit.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/np_errors.h"
#include "backend/v1/np_fields.h"
#include "engine_api/v1_layers.h"
#include "core/enums.h"

namespace morla::v1 {

CnpPooling cnp_pooling(const WindowedV1Layer& layer) {
  CnpPooling pooling;
  const auto type = static_cast<PoolType>(param(layer, "pool_type"));
  if (type == PoolType::NoPooling) return pooling;
  const int width = param(layer, "pooling_width");
  pooling.size = type == PoolType::Average && width == -1 ? 1 : static_cast<uint32_t>(width);
  const uint32_t* record = layer.pool_record();
  pooling.stride_x = static_cast<uint8_t>(record[0]);
  pooling.stride_y = static_cast<uint8_t>(record[0] >> 8);
  pooling.padding = {record[3], record[4], record[5], record[6]};
  pooling.flag = record[7];
  return pooling;
}

Padding4 cnp_conv_padding(const WindowedV1Layer& layer) {
  const uint32_t* record = layer.conv_record();
  return {record[4], record[5], record[6], record[7]};
}

void record_cnp_split_registers(RegisterBlock& block, const CnpSplitSettings& s,
                                const hw::NpBlock& piece) {
  const NpSplit split(s.input, piece.spatial_partition, piece.input_window, s.kernel, s.stride,
                      s.conv_padding, s.pooling.size, s.pooling.stride_x, s.pooling.padding);
  set_register_field(block, reg::kFnpBlock, 0);
  set_register_field(block, reg::kFnpKind, 0);
  set_register_field(block, reg::kWord1Bit7, 0);
  set_register_field(block, reg::kSingleBuffer, piece.single_buffer);
  set_register_field(block, reg::kWord1Bit5, 1);
  set_register_field(block, reg::kWord1Bit6, 1);

  set_register_field(block, reg::kInputBitsHalf, s.input_bits / 2);
  set_register_field(block, reg::kActBitsHalf, s.act_bits / 2);
  set_register_field(block, reg::kActivationOn, s.activation);
  set_register_field(block, reg::kNpCount, s.np_count);
  set_register_field(block, reg::kOrder, s.order);

  const uint32_t row_bytes = packed_bytes(split.window_width, s.input_bits);
  set_register_field(block, reg::kInputWords,
                     packed_words(row_bytes, split.channels, split.window_height));
  set_register_field(block, reg::kWord4Bit31, 1);

  set_register_field(block, reg::kHeight, split.height);
  set_register_field(block, reg::kWindowRowOffset,
                     fit_signed(static_cast<int32_t>(split.window_row_offset), 4));
  set_register_field(block, reg::kWidth, split.width);
  set_register_field(block, reg::kWindowColOffset,
                     fit_signed(static_cast<int32_t>(split.window_col_offset), 4));
  set_register_field(block, reg::kWindowY, split.window_y);
  set_register_field(block, reg::kRowPhase, split.row_phase != 0);
  set_register_field(block, reg::kWindowX, split.window_x);
  set_register_field(block, reg::kColPhase, split.col_phase != 0);
  set_register_field(block, reg::kWindowHeight, split.window_height);
  set_register_field(block, reg::kWindowWidth, split.window_width);
  set_register_field(block, reg::kAlignedWidth, split.aligned_width());

  set_register_field(block, reg::kStride2, s.stride == 2);
  set_register_field(block, reg::kKernelSize, s.kernel);
  set_register_field(block, reg::kOutY, split.out_y);
  set_register_field(block, reg::kOutX, split.out_x);
  set_register_field(block, reg::kOutHeight, split.out_height);
  set_register_field(block, reg::kOutWidth, split.out_width);
  set_register_field(block, reg::kStartNeuron, piece.start_neuron);
  set_register_field(block, reg::kFilters, piece.filters);

  const uint32_t line_bytes = (s.input_bits * split.window_width + 7) / 8;
  set_register_field(block, reg::kRowBytes, line_bytes);
  set_register_field(block, reg::kChannelRowWords, (line_bytes * split.channels + 3) / 4);
  set_register_field(block, reg::kWord29Bit0, 0);
  set_register_field(block, reg::kFilterBytes, (piece.filters + 7) / 8);
  set_register_field(block, reg::kLearning, 0);
}

void record_cnp_padding_edges(RegisterBlock& block, const Shape& input, const NpSpace& partition,
                              const CnpPooling& pooling) {
  const auto positive = [](uint32_t padding) { return static_cast<int32_t>(padding) > 0; };
  set_register_field(block, reg::kPoolSize, pooling.size);
  set_register_field(block, reg::kPoolStride, pooling.stride_x);
  set_register_field(block, reg::kPoolFlag, pooling.flag);
  set_register_field(
      block, reg::kPadRightEdge,
      positive(pooling.padding.right) && partition.x + partition.shape[0] == input[0]);
  set_register_field(block, reg::kPadLeftEdge, positive(pooling.padding.left) && partition.x == 0);
  set_register_field(
      block, reg::kPadBottomEdge,
      positive(pooling.padding.bottom) && partition.y + partition.shape[1] == input[1]);
  set_register_field(block, reg::kPadTopEdge, positive(pooling.padding.top) && partition.y == 0);
}

std::vector<uint32_t> build_cnp_threshold_words(const Dense& threshold, const Dense& act_step,
                                                bool has_activation, uint32_t start,
                                                uint32_t count) {
  std::vector<uint32_t> words(size_t{2} * count, 0);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t neuron = size_t{start} + i;
    words[2 * i] = has_activation ? fit_signed(threshold.get<int32_t>(neuron), 20) : 0x80000;
    const int32_t step = act_step.get<int32_t>(neuron);
    if (const std::string error = act_step_error(step); !error.empty()) throw CnpError(error);
    words[2 * i + 1] = static_cast<uint32_t>(step);
  }
  return words;
}

}  // namespace morla::v1

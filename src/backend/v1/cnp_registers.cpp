#include "backend/v1/cnp_registers.h"

#include "backend/v1/cnp_weight_sizes.h"
#include "backend/v1/field_fit.h"
#include "backend/v1/layer_access.h"
#include "backend/v1/np_errors.h"
#include "core/enums.h"
#include "core/engine_api/v1_layers.h"

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
  set_field(block, 1, 4, 1, 0);
  set_field(block, 1, 20, 2, 0);
  set_field(block, 1, 7, 1, 0);
  set_field(block, 1, 22, 1, piece.single_buffer);
  set_field(block, 1, 5, 1, 1);
  set_field(block, 1, 6, 1, 1);

  set_field(block, 3, 0, 2, s.input_bits / 2);
  set_field(block, 3, 12, 2, s.act_bits / 2);
  set_field(block, 3, 15, 1, s.activation);
  set_field(block, 3, 16, 8, s.np_count);
  set_field(block, 3, 24, 8, s.order);

  const uint32_t row_bytes = packed_bytes(split.window_width, s.input_bits);
  set_field(block, 4, 0, 18, packed_words(row_bytes, split.channels, split.window_height));
  set_field(block, 4, 31, 1, 1);

  set_field(block, 8, 0, 11, split.height);
  set_field(block, 8, 12, 4, fit_signed(static_cast<int32_t>(split.window_row_offset), 4));
  set_field(block, 8, 16, 11, split.width);
  set_field(block, 8, 28, 4, fit_signed(static_cast<int32_t>(split.window_col_offset), 4));
  set_field(block, 9, 0, 12, split.window_y);
  set_field(block, 9, 12, 1, split.row_phase != 0);
  set_field(block, 9, 16, 12, split.window_x);
  set_field(block, 9, 28, 1, split.col_phase != 0);
  set_field(block, 10, 0, 11, split.window_height);
  set_field(block, 10, 16, 11, split.window_width);
  set_field(block, 11, 0, 8, split.aligned_width());

  set_field(block, 20, 8, 1, s.stride == 2);
  set_field(block, 20, 28, 3, s.kernel);
  set_field(block, 24, 0, 12, split.out_y);
  set_field(block, 24, 16, 12, split.out_x);
  set_field(block, 25, 0, 10, split.out_height);
  set_field(block, 25, 16, 8, split.out_width);
  set_field(block, 26, 0, 11, piece.start_neuron);
  set_field(block, 26, 16, 11, piece.filters);

  const uint32_t line_bytes = (s.input_bits * split.window_width + 7) / 8;
  set_field(block, 28, 16, 9, line_bytes);
  set_field(block, 28, 0, 14, (line_bytes * split.channels + 3) / 4);
  set_field(block, 29, 0, 1, 0);
  set_field(block, 29, 16, 8, (piece.filters + 7) / 8);
  set_field(block, 36, 28, 1, 0);
}

void record_cnp_padding_edges(RegisterBlock& block, const Shape& input,
                              const NpSpace& partition, const CnpPooling& pooling) {
  const auto positive = [](uint32_t padding) { return static_cast<int32_t>(padding) > 0; };
  set_field(block, 27, 0, 3, pooling.size);
  set_field(block, 27, 4, 3, pooling.stride_x);
  set_field(block, 27, 8, 1, pooling.flag);
  set_field(block, 27, 12, 1,
            positive(pooling.padding.right) && partition.x + partition.shape[0] == input[0]);
  set_field(block, 27, 13, 1, positive(pooling.padding.left) && partition.x == 0);
  set_field(block, 27, 14, 1,
            positive(pooling.padding.bottom) && partition.y + partition.shape[1] == input[1]);
  set_field(block, 27, 15, 1, positive(pooling.padding.top) && partition.y == 0);
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

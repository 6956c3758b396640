#pragma once
// The configuration fields of a v2 CNP register block: sizes and widths, the NP's part of
// the layer's input and output, activation, skip-DMA feed, geometry and padding edges.
#include <cstdint>
#include <vector>

#include "backend/v2/np_registers.h"
#include "core/enums.h"
#include "contract/layer_mapping.h"
#include "contract/np_split.h"

namespace morla::v2 {

struct CnpNpConfig {
  const NpSplitInterface& split;
  uint32_t kernel_size;
  uint32_t stride;
  ActivationType activation;
  uint32_t first_filter;
  uint32_t filters;
  uint32_t weights_bits;
  const ComponentList& layer_components;
  bool single_buffer;
  bool transposed;
  uint32_t input_bits;
  uint32_t output_bits;
  const MergeInfo* merge;              // null without a merge descriptor
  const hw::Component* skip_dma_load;  // null without one
  // The learning NP alone when the layer has one, else the layer's destinations.
  const ComponentList& peers;
  bool input_format_flag;
  // The skip-DMA fields are written only with this set (not for registers-only recordings).
  bool with_skip_dma;
};

void record_cnp_config(NpRegisters& block, const CnpNpConfig& config);

// Words sized by the NP's filters after the configuration: `filters` of the NP, its first
// filter and the layer's input channel count (depthwise layers only).
void record_standard_geometry(NpRegisters& block, const NpSplitInterface& split,
                              uint32_t input_bits, uint32_t kernel_size, uint32_t weights_bits,
                              uint32_t filters);
void record_depthwise_geometry(NpRegisters& block, const NpSplitInterface& split,
                               uint32_t input_bits, uint32_t kernel_size, uint32_t weights_bits,
                               uint32_t first_filter, uint32_t filters, uint32_t layer_channels);

// Pooling of the layer and the edges of the input at which the NP pads.
struct PoolEdges {
  uint32_t pool_size;
  uint32_t pool_stride;
  uint32_t pool_flag;
  int32_t pads[4];  // top, bottom, left, right
};

void record_cnp_padding_edges(NpRegisters& block, const Shape& layer_input,
                              const NpSpace& partition, const PoolEdges& pooling,
                              bool inbound_max_pooling);

}  // namespace morla::v2

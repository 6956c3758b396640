#pragma once
// The register fields of one CNP of a v1 Convolutional or SeparableConvolutional layer and
// its per-neuron threshold words.
#include <cstdint>
#include <vector>

#include "backend/v1/register_block.h"
#include "engine_api/tensor.h"
#include "core/shape.h"
#include "contract/component.h"
#include "contract/np_split.h"

namespace morla {
class WindowedV1Layer;
}

namespace morla::v1 {

// The pooling a CNP applies, from the layer's "pool_type" and its built pooling record.
struct CnpPooling {
  uint32_t size = 1;
  uint8_t stride_x = 1;
  uint8_t stride_y = 1;
  Padding4 padding;  // the record's paddings, signed values stored as u32
  uint32_t flag = 0;
};

CnpPooling cnp_pooling(const WindowedV1Layer& layer);
// The convolution paddings of the built convolution record.
Padding4 cnp_conv_padding(const WindowedV1Layer& layer);

// What one CNP of the layer computes.
struct CnpSplitSettings {
  Shape input;
  uint8_t order = 0;
  uint32_t input_bits = 0;
  uint32_t kernel = 0;
  uint32_t stride = 1;
  Padding4 conv_padding;
  bool activation = false;
  uint32_t act_bits = 0;
  CnpPooling pooling;
  uint32_t np_count = 0;  // NPs of the layer
};

// Words 1, 3, 4, 8-11, 20, 24-26, 28, 29 and 36 of the NP that runs `piece`.
void record_cnp_split_registers(RegisterBlock& block, const CnpSplitSettings& settings,
                                const hw::NpBlock& piece);
// Word 27: pooling, and the pooling paddings at the edges of the input the NP reaches.
void record_cnp_padding_edges(RegisterBlock& block, const Shape& input, const NpSpace& partition,
                              const CnpPooling& pooling);
// Two words per neuron start .. start + count - 1: the 20-bit threshold (0x80000 without
// activation) and the activation step in 1/16 units (CnpError when it does not fit).
std::vector<uint32_t> build_cnp_threshold_words(const Dense& threshold, const Dense& act_step,
                                                bool has_activation, uint32_t start,
                                                uint32_t count);

}  // namespace morla::v1

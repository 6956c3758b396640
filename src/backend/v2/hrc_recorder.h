#pragma once
// An InputConv2D layer on the v2 HRC: its weight memory and its program (configuration,
// weight lines, look-up table, neuron parameters and the closing writes), all keyed by the
// all-zero ident.
#include <cstdint>
#include <vector>

#include "core/device.h"
#include "engine_api/layer.h"
#include "contract/program_record.h"

namespace morla::v2 {

// Words of the weight lines and the neuron parameters, rounded to 16 for a long block.
uint32_t hrc_weight_words(const Layer& layer);

program::RecordPtr record_input_conv2d(const Device& device, const Layer& layer);

// A memory-select block with `selector_bit` set, then `words` as HRC memory data; nothing
// for no words.
void append_hrc_memory(program::Record& record, uint32_t selector_bit,
                       const std::vector<uint32_t>& words);

}  // namespace morla::v2

#pragma once
// The program of an InputConvolutional layer on the v1 HRC: its configuration block, its
// three weight memories, its threshold memory and three control words. Every block goes to
// the all-zero ident: the HRC is not addressed as an NP.
#include <cstdint>
#include <vector>

#include "engine_api/tensor.h"
#include "core/register_field.h"
#include "contract/program_record.h"

namespace morla {
class Device;
class Layer;
}  // namespace morla

namespace morla::v1 {

// Two words per neuron: the 24-bit threshold and the activation step in 1/16 units.
std::vector<uint32_t> pack_hrc_threshold_words(const Dense& threshold, const Dense& act_step);
// Selects the memory of `select` (one bit), then writes `words` into it; nothing when the
// words are empty.
void append_hrc_memory_block(program::Record& record, const RegisterField& select,
                             const std::vector<uint32_t>& words);
// Weight and threshold memory of the layer in words, rounded up to 16 in the long block form.
uint32_t hrc_weight_words(const Layer& layer);

program::RecordPtr record_input_convolutional(const Device& device, const Layer& layer);

}  // namespace morla::v1

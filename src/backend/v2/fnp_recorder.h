#pragma once
// A Dense1D layer on a v2 FNP: its register block, input shifts and weight image (in the
// NP program of an FNP3, in the record's external block for an FNP2).
#include <cstdint>
#include <memory>
#include <vector>

#include "backend/v2/recorder_flags.h"
#include "core/device.h"
#include "engine_api/layer.h"
#include "engine_api/tensor.h"
#include "contract/hardware_description.h"
#include "contract/program_record.h"

namespace morla::v2 {

// `pass_layer` is the layer the recorder was handed as its pass argument: the FNP flattens its
// input when it is the layer itself.
program::RecordPtr record_dense1d(const Device& device, const HardwareDescription& description,
                                  const Layer& layer, const std::shared_ptr<Layer>& pass_layer,
                                  const RecorderFlags& flags);

// The input shifts laid out like the padded input of `mode`.
std::vector<uint32_t> format_fnp_input_shift(const Tensor& input_shift, const Shape& shape,
                                             uint32_t mode, uint32_t input_bits);
// Per neuron: two parameter words, then its weights laid out like the padded input.
std::vector<uint32_t> format_fnp_weights(const Layer& layer, bool flatten, uint32_t mode,
                                         uint32_t input_bits, uint32_t weights_bits);

}  // namespace morla::v2

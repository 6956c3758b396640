#pragma once
// The NP programs of the temporal layers on v2 TNP-Bs: per NP a register block and, unless
// only registers are asked for, its weight image, input shifts and shift/scale words, with
// the merge programming of the layer.
#include <cstdint>
#include <vector>

#include "backend/v2/recorder_flags.h"
#include "core/device.h"
#include "engine_api/layer.h"
#include "engine_api/tensor.h"
#include "contract/program_record.h"

namespace morla::v2 {

// Each refuses a layer of another type with "Invalid layer type for TNP-B recording.".
program::RecordPtr record_buffer_temp_conv(const Device& device, const Layer& layer,
                                           const RecorderFlags& flags);
program::RecordPtr record_depthwise_buffer_temp_conv(const Device& device, const Layer& layer,
                                                     const RecorderFlags& flags);

// Weight rows reordered from time-major to channel-major, one byte per filter of
// first .. first + count - 1, 24 filters per 6 words. `fifo_size` must divide the weights'
// third dimension (std::runtime_error otherwise).
std::vector<uint32_t> format_tnp_b_weights(const Dense& weights, uint32_t fifo_size, uint32_t first,
                                           uint32_t count);
// The taps of channels first .. first + count - 1, one 12-byte slot per channel; more than 12
// taps throw std::runtime_error.
std::vector<uint32_t> format_depthwise_tnp_b_weights(const Dense& weights, uint32_t first,
                                                     uint32_t count);

}  // namespace morla::v2

#pragma once
// The NP programs of the four v2 convolution layer types: per NP a register block and,
// unless only registers are asked for, its weights, input shifts, shift/scale words,
// look-up table and merge shifts, then the merge programming of the layer.
#include "backend/v2/recorder_flags.h"
#include "core/device.h"
#include "engine_api/layer.h"
#include "contract/program_record.h"

namespace morla::v2 {

// Each refuses a layer of another type with std::runtime_error
// "Invalid layer type for CNP recording.".
program::RecordPtr record_conv2d(const Device& device, const Layer& layer,
                                 const RecorderFlags& flags);
program::RecordPtr record_depthwise_conv2d(const Device& device, const Layer& layer,
                                           const RecorderFlags& flags);
program::RecordPtr record_conv2d_transpose(const Device& device, const Layer& layer,
                                           const RecorderFlags& flags);
program::RecordPtr record_depthwise_conv2d_transpose(const Device& device, const Layer& layer,
                                                     const RecorderFlags& flags);

}  // namespace morla::v2

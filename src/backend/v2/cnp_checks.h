#pragma once
// The rules a convolution layer must meet to run on a v2 CNP. Each check runs all its
// rules and reports every broken one, in rule order, in one status.
#include "engine_api/layer.h"
#include "contract/hardware_description.h"
#include "contract/mapping_status.h"

namespace morla::v2 {

MappingStatus check_conv2d(const HardwareDescription& description, const Layer& layer);
MappingStatus check_depthwise_conv2d(const HardwareDescription& description, const Layer& layer);
MappingStatus check_conv2d_transpose(const HardwareDescription& description, const Layer& layer);
MappingStatus check_depthwise_conv2d_transpose(const HardwareDescription& description,
                                               const Layer& layer);

// Shared parts of the checks above.
MappingStatus check_cnp_dimensions(const HardwareDescription& description, const Layer& layer);
MappingStatus check_cnp_padding(const Layer& layer);
MappingStatus check_cnp_pooling(const HardwareDescription& description, const Layer& layer);
MappingStatus check_cnp_activation(const Layer& layer, bool allow_4bit);

// 32-bit words a CNP input buffer needs for rows x cols x channels values of `bits` bits:
// every row of every channel takes whole words.
uint32_t cnp_input_words(uint32_t rows, uint32_t cols, uint32_t channels, uint32_t bits);

}  // namespace morla::v2

#pragma once
// The rules of the temporal layers (BufferTempConv, DepthwiseBufferTempConv) on a v2 TNP-B:
// all are run and every broken one reported.
#include "engine_api/layer.h"
#include "contract/hardware_description.h"
#include "contract/mapping_status.h"

namespace morla::v2 {

MappingStatus check_tnp_b(const HardwareDescription& description, const Layer& layer);
MappingStatus check_buffer_temp_conv(const HardwareDescription& description, const Layer& layer);
MappingStatus check_depthwise_buffer_temp_conv(const HardwareDescription& description,
                                               const Layer& layer);

}  // namespace morla::v2

#pragma once
// The rules of an InputConv2D layer on the v2 HRC, the model's first convolution: all are
// run and every broken one reported.
#include "engine_api/layer.h"
#include "contract/mapping_status.h"

namespace morla::v2 {

MappingStatus check_input_conv2d(const Layer& layer);

}  // namespace morla::v2

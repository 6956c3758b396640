#pragma once
// The pooling a CNP applies after its convolution, read from the layer's records.
#include <cstdint>

#include "engine_api/layer.h"

namespace morla::v2 {

struct CnpPooling {
  uint32_t size = 1;
  uint32_t stride_x = 1;
  uint32_t stride_y = 1;
  uint32_t width = 0;  // the two values after the strides
  uint32_t height = 0;
  int32_t pads[4] = {0, 0, 0, 0};  // top, bottom, left, right
  uint32_t flag = 0;
};

// The pooling record of a layer without pooling: strides 1, the given size, no padding;
// answers the pool size to use (1).
uint32_t no_pooling_geometry(CnpPooling& pooling, uint32_t width, uint32_t height);

// The pooling of a built Conv2D or DepthwiseConv2D layer: global average pooling and no
// pooling count as size 1.
CnpPooling read_cnp_pooling(const Layer& layer);

}  // namespace morla::v2

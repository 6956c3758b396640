#pragma once
// The engine's IP v1 layer types, reached by a dynamic cast from a Layer: a cast of a layer
// of any other type gives null. The back ends read these layers only through these
// declarations.
#include <cstdint>

#include "engine_api/layer.h"

namespace morla {

// A v1 layer that runs a convolution window: once built it keeps a convolution record
// (a row of u32: [3] the unpooled output rows, [4..7] the paddings top, bottom, left,
// right) and a pooling record (the low two bytes of [0] the pooling strides in x and y,
// [3..6] the pooling paddings top, bottom, left, right, [7] the pooling flag byte).
class WindowedV1Layer : public virtual Layer {
 public:
  // Both throw std::runtime_error "The layer <name> is not built." while the layer has none.
  const uint32_t* conv_record() const;
  const uint32_t* pool_record() const;

 protected:
  // Null until the layer is built.
  virtual const uint32_t* find_conv_record() const = 0;
  virtual const uint32_t* find_pool_record() const = 0;
};

class Convolutional : public WindowedV1Layer {};
class SeparableConvolutional : public WindowedV1Layer {};
class InputConvolutional : public WindowedV1Layer {};

class FullyConnected : public virtual Layer {
 public:
  // Whether the layer is compiled for on-chip learning.
  bool compiled() const override = 0;
};

// `record`, or std::runtime_error "The layer <name> is not built." when it is null.
const uint32_t* require_built_record(const Layer& layer, const uint32_t* record);

}  // namespace morla

#pragma once
// The convolution and pooling records of a built v2 windowed layer.
#include <cstdint>

#include "engine_api/layer.h"

namespace morla::v2 {

// Both throw std::runtime_error "The layer <name> is not built." while the layer has none.
const uint32_t* conv_record(const Layer& layer);
const uint32_t* pool_record(const Layer& layer);

}  // namespace morla::v2

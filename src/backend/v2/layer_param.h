#pragma once
// How the v2 back end reads a layer's integer parameters.
#include "engine_api/layer.h"

namespace morla::v2 {

// The layer's integer parameter `key`.
int param(const Layer& layer, const char* key);

}  // namespace morla::v2

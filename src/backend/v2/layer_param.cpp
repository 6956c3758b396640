#include "backend/v2/layer_param.h"

#include "engine_api/layer_params.h"

namespace morla::v2 {

int param(const Layer& layer, const char* key) { return layer.params()->get(key); }

}  // namespace morla::v2

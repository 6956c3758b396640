#include "backend/v2/built_records.h"

#include "engine_api/v1_layers.h"

namespace morla::v2 {

const uint32_t* conv_record(const Layer& layer) {
  const auto* conv = dynamic_cast<const HasConvParams*>(&layer);
  return require_built_record(layer, conv ? conv->conv_params() : nullptr);
}

const uint32_t* pool_record(const Layer& layer) {
  const auto* pool = dynamic_cast<const HasPoolParams*>(&layer);
  return require_built_record(layer, pool ? pool->pool_params() : nullptr);
}

}  // namespace morla::v2

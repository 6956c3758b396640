#include "backend/v2/built_records.h"

#include <stdexcept>
#include <string>

namespace morla::v2 {

namespace {

const uint32_t* require(const Layer& layer, const uint32_t* record) {
  if (!record) throw std::runtime_error("The layer " + layer.name() + " is not built.");
  return record;
}

}  // namespace

const uint32_t* conv_record(const Layer& layer) {
  const auto* conv = dynamic_cast<const HasConvParams*>(&layer);
  return require(layer, conv ? conv->conv_params() : nullptr);
}

const uint32_t* pool_record(const Layer& layer) {
  const auto* pool = dynamic_cast<const HasPoolParams*>(&layer);
  return require(layer, pool ? pool->pool_params() : nullptr);
}

}  // namespace morla::v2

#include "engine_api/v1_layers.h"

#include <stdexcept>
#include <string>

namespace morla {

const uint32_t* require_built_record(const Layer& layer, const uint32_t* record) {
  if (!record) throw std::runtime_error("The layer " + layer.name() + " is not built.");
  return record;
}

const uint32_t* WindowedV1Layer::conv_record() const {
  return require_built_record(*this, find_conv_record());
}

const uint32_t* WindowedV1Layer::pool_record() const {
  return require_built_record(*this, find_pool_record());
}

}  // namespace morla

#include "backend/v2/rule_check.h"

#include "core/engine_api/layer_params.h"

namespace morla::v2 {

bool RuleCheck::fail_if(bool broken, const std::string& message) {
  if (broken) status_.merge(make_mapping_status(layer_, message));
  return broken;
}

int param(const Layer& layer, const char* key) { return layer.params()->get(key); }

}  // namespace morla::v2

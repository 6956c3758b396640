#pragma once
// A check that runs every rule about one layer and reports all the broken ones in rule
// order, in one status named after the layer.
#include <string>

#include "core/engine_api/layer.h"
#include "program/contract/mapping_status.h"

namespace morla::v2 {

class RuleCheck {
 public:
  explicit RuleCheck(const Layer& layer) : layer_(layer) {}

  // Merges a failure with `message` when `broken`; answers `broken`.
  bool fail_if(bool broken, const std::string& message);
  void merge(const MappingStatus& other) { status_.merge(other); }

  bool ok() const { return status_.ok(); }
  const MappingStatus& status() const { return status_; }

 private:
  const Layer& layer_;
  MappingStatus status_;
};

// The layer's integer parameter `key`.
int param(const Layer& layer, const char* key);

}  // namespace morla::v2

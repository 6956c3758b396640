#pragma once
// The status a check builds rule by rule: every broken rule adds its message about the
// layer, merged into one status (the messages joined by blanks).
#include <string>

#include "program/contract/mapping_status.h"

namespace morla::v1 {

class RuleStatus {
 public:
  explicit RuleStatus(const Layer& layer) : layer_(layer) {}

  // Adds `message` when `broken`.
  RuleStatus& add_if(bool broken, const std::string& message) {
    if (broken) status_.merge(make_mapping_status(layer_, message));
    return *this;
  }
  RuleStatus& merge(const MappingStatus& other) {
    status_.merge(other);
    return *this;
  }

  bool failed() const { return !status_.ok(); }
  const MappingStatus& status() const { return status_; }
  operator const MappingStatus&() const { return status_; }

 private:
  const Layer& layer_;
  MappingStatus status_;
};

}  // namespace morla::v1

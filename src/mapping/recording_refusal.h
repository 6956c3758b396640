#pragma once
// A back end's recorder refusing a layer that passed the checks.
#include <stdexcept>
#include <utility>

#include "contract/mapping_status.h"

namespace morla {

// What the program assembly throws in place of a recorder's std::runtime_error: the
// recorder's message unchanged, with the failure status that names the refused layer.
class RecordingRefused : public std::runtime_error {
 public:
  explicit RecordingRefused(MappingStatus status)
      : std::runtime_error(status.text), status_(std::move(status)) {}

  const MappingStatus& status() const { return status_; }

 private:
  MappingStatus status_;
};

}  // namespace morla

#pragma once
// A run of a mapped model's layers that the engine computes on the host.
#include <memory>
#include <string>
#include <vector>

#include "engine_api/sequence.h"

namespace morla::engine {

class SoftwareSequence final : public Sequence {
 public:
  // One pass holding every layer.
  explicit SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers);

  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Software; }
  ByteRange program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  // "SW/<first>" or "SW/<first>-<last>".
  std::string name() const override;

  const std::vector<std::shared_ptr<Layer>>& layers() const { return passes_.front()->layers; }

 private:
  std::vector<std::shared_ptr<Pass>> passes_;
};

}  // namespace morla::engine

#pragma once
// Runs a mapped model sequence after sequence: hardware sequences on their device (the
// whole batch at once), software sequences with the engine's own arithmetic; each sequence
// reads the outputs of the one before.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine_api/sequence.h"
#include "engine_api/tensor.h"
#include "engine/model_runner.h"

namespace morla::engine {

struct SequenceRun {
  uint32_t batch_size = 0;
  // Learning: the labels of the frames and the software learning step of the last layer
  // (used when the last sequence runs in software).
  const std::vector<int32_t>* labels = nullptr;
  ModelRunner::LastLayerHook learn = {};
  // Called before each hardware sequence runs, with the sequence and whether it is the last.
  std::function<void(const Sequence&, bool last)> before_hardware = {};
};

std::shared_ptr<Dense> run_sequences(const std::vector<std::shared_ptr<Sequence>>& sequences,
                                     std::shared_ptr<Dense> inputs, const SequenceRun& run);

}  // namespace morla::engine

#pragma once
// Keeps what a board runs for a mapped model equal to what the model holds on the host.
//
// A hardware sequence programs the board when the loaded program's bytes differ from its
// own, and a load sets the learning memory to the program's image. A learning run changes
// that memory outside the program bytes, so after a model's `fit` the board may hold values
// that a reload loses (the model's learned values), or that another model with byte-equal
// programs would take for its own. Each model keeps one of these for its last sequence, the
// one that learns, and asks it before every hardware sequence runs:
// - the board holds the model's learned memory and nothing touched the board since: the
//   sequence runs as it is (a `fit` followed by `forward` reloads nothing);
// - the board's learning memory changed since its last load (a learning run, a memory
//   write, by this model, another one or the device's own calls): the board is unprogrammed
//   first, so the sequence's byte comparison loads its program and image again;
// - the model's learned values are not its program's image: after the reload they are
//   written back as they were read from the board; when they are not known (the device is
//   not this engine's, or the read-back did not come from the board unchanged) the run is
//   refused with the changed-model message.
#include <cstdint>
#include <optional>
#include <vector>

#include "engine_api/hardware_device.h"
#include "engine_api/sequence.h"

namespace morla::engine {

// The refusal of a run on the board whose model no longer matches its mapping.
[[noreturn]] void refuse_changed_model();

class BoardLearning {
 public:
  // Before `sequence` runs on `board`; `learner`: it is the model's last sequence.
  void before_run(HardwareDevice& board, const Sequence& sequence, bool learner);
  // After a run of the model's last sequence on `board` whose learned values reached the
  // model's last layer, whether or not the run then ended well.
  void learned(HardwareDevice& board);

 private:
  enum class Values { ProgramImage, Memory, Unknown };
  // What the model's learning layer holds: its program's image, the learning memory below,
  // or values that cannot be put back on the board.
  Values values_ = Values::ProgramImage;
  std::vector<uint32_t> memory_;
  // The board's count of changes at which it held the model's learned memory.
  std::optional<uint64_t> held_at_;
};

}  // namespace morla::engine

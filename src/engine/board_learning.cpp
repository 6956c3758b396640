#include "engine/board_learning.h"

#include <stdexcept>

#include "engine/hardware_device_impl.h"

namespace morla::engine {
namespace {

// What the host knows of a board's state. A device of another engine counts nothing: its
// learning memory is taken as changed, and what it read as unknown.
struct BoardView {
  std::optional<uint64_t> changes;
  bool learning_memory_changed = true;
  const std::vector<uint32_t>* learn_mem_read = nullptr;
};

BoardView view(const HardwareDevice& board) {
  const auto* counted = dynamic_cast<const HardwareDeviceImpl*>(&board);
  if (!counted) return {};
  return {counted->changes(), counted->learning_memory_changed(), counted->learn_mem_read()};
}

}  // namespace

void refuse_changed_model() {
  throw std::runtime_error(
      "The model changed since it was mapped: map it again to run it on the device.");
}

void BoardLearning::before_run(HardwareDevice& board, const Sequence& sequence, bool learner) {
  const BoardView seen = view(board);
  if (learner && held_at_ && seen.changes == held_at_) return;
  const bool restore = learner && values_ != Values::ProgramImage;
  if (restore && values_ == Values::Unknown) refuse_changed_model();
  if (seen.learning_memory_changed || restore) board.unprogram();
  if (!restore) return;
  const ByteRange program = sequence.program();
  board.set_program(program.data, program.size);
  if (board.learn_mem_size() != memory_.size()) refuse_changed_model();
  board.update_learn_mem(memory_.data());
  held_at_ = view(board).changes;
}

void BoardLearning::learned(HardwareDevice& board) {
  const BoardView seen = view(board);
  values_ = Values::Unknown;
  held_at_.reset();
  if (!seen.learn_mem_read) return;
  memory_ = *seen.learn_mem_read;
  values_ = Values::Memory;
  held_at_ = seen.changes;
}

}  // namespace morla::engine

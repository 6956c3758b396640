#pragma once
// The host side of the board run protocol (board_registers.h): placing a program, the
// frames of a run and their outputs in board memory, starting the run and waiting for it
// with a deadline.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine_api/hardware_device.h"
#include "engine/board_registers.h"

namespace morla {
class HardwareDriver;
}

namespace morla::engine {

// Where a loaded program lies in board memory.
struct ProgramPlacement {
  uint32_t info_address = 0;
  uint32_t info_size = 0;
  uint32_t data_address = 0;  // 0: none
  // First byte after everything the program occupies inside the memory window.
  uint32_t end = 0;
};

class BoardRun {
 public:
  // Bounded wait for one run, whatever the number of frames.
  static constexpr int64_t kRunTimeoutMs = 20000;

  explicit BoardRun(HardwareDriver& driver, int64_t timeout_ms = kRunTimeoutMs)
      : driver_(driver), timeout_ms_(timeout_ms) {}

  // Writes the whole program (info then data) at the start of the memory window.
  ProgramPlacement write_program(const uint8_t* data, size_t size);
  // Writes only the info, where it does not cover the data the caller put at `address`.
  ProgramPlacement write_external_info(const uint8_t* info, size_t size, uint32_t address);
  void load(const ProgramPlacement& placement);
  void unload();
  void set_learn_enabled(bool enabled);

  // Writes the frames (and labels) after `io_base`, runs `command` and reads the outputs.
  TensorResults run(board::Command command, const TensorList& inputs,
                    const std::vector<int32_t>& labels, uint32_t io_base);

 private:
  uint32_t reg(uint32_t offset) const;
  void write_reg(uint32_t offset, uint32_t value);
  uint32_t read_reg(uint32_t offset);
  void wait_done();
  TensorResults read_outputs(uint32_t address, uint32_t limit, size_t frames);

  HardwareDriver& driver_;
  int64_t timeout_ms_;
};

}  // namespace morla::engine

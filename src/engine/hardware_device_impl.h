#pragma once
// The stand-in engine's device on a driver: version, NP information, clock
// counters and program bookkeeping through the board's registers.
#include <cstdint>
#include <vector>

#include "engine_api/hardware_device.h"
#include "engine/board_run.h"

namespace morla::engine {

class HardwareDeviceImpl final : public HardwareDevice {
 public:
  explicit HardwareDeviceImpl(HardwareDriver* driver);

  HwVersion version() const override { return version_; }
  const char* desc() const override;
  void set_clock_counter_enabled(bool enabled) override;
  uint32_t clock_counter() override;
  uint32_t program_clock_count() override;
  DeviceMemory memory() override { return memory_; }
  void reset_top_memory() override { memory_.top = memory_.used; }
  ByteRange program() const override { return program_; }
  // Keeps the caller's pointer, writes the program to the board's memory and loads it.
  void set_program(const uint8_t* data, size_t size) override;
  // Keeps the caller's info as the program and writes it next to (never over) the program
  // data that the caller already wrote at `address`.
  void program_external(const uint8_t* data, size_t size, uint32_t address) override;
  void read_np_info(uint32_t* out, const hw::Ident* idents, size_t count) override;
  void set_batch_size(size_t count, bool) override { batch_size_ = count; }
  void set_learn_enabled(bool enabled) override;
  bool learn_enabled() const override { return learn_enabled_; }
  // The learning memory is a block of board words whose size the board reports.
  size_t learn_mem_size() const override;
  void read_learn_mem(uint32_t* out) override;
  void update_learn_mem(const uint32_t* words) override;
  void unprogram() override;
  TensorResults fit(const TensorList& inputs, const std::vector<int32_t>& labels) override;
  TensorResults forward(const TensorList& inputs) override;
  TensorResults predict(const TensorList& inputs) override;
  HardwareDriver* driver() const override { return driver_; }

  // What the engine's model reads to keep the board running what the host holds (see
  // board_learning.h); none of it touches the board.
  // The acts that may change the loaded program or the learning memory (programming,
  // unprogramming, a learning run, a learning-memory write), each counted before it starts.
  uint64_t changes() const { return changes_; }
  // A learning run or a learning-memory write came after the last load: the learning memory
  // may hold other values than the loaded program's image.
  bool learning_memory_changed() const { return learning_memory_changed_; }
  // The learning memory as last read, when nothing has changed it since; null otherwise.
  const std::vector<uint32_t>* learn_mem_read() const;

 private:
  uint32_t register_address(uint32_t offset) const;
  void loaded(ByteRange program, const ProgramPlacement& placement);
  // Drops the caller's program before the board is touched: if the transfer then fails,
  // nothing points into bytes the caller may free, and no stale program passes for loaded.
  void forget_program();
  TensorResults run(board::Command command, const TensorList& inputs,
                    const std::vector<int32_t>& labels);

  HardwareDriver* driver_;
  HwVersion version_;
  ByteRange program_;
  // First byte after the loaded program; run frames go after it.
  uint32_t program_end_ = 0;
  DeviceMemory memory_;
  size_t batch_size_ = 0;
  bool learn_enabled_ = false;
  uint64_t changes_ = 0;
  bool learning_memory_changed_ = false;
  std::vector<uint32_t> learn_mem_read_;
  uint64_t learn_mem_read_at_ = UINT64_MAX;  // the count of changes when it was read
};

}  // namespace morla::engine

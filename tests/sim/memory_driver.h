#pragma once
// A host driver whose transport is a simulated board's memory, without a link.
#include <atomic>
#include <string>

#include "board_memory.h"
#include "drivers/host_driver.h"
#include "drivers/soc_driver.h"

namespace morla::sim {

class MemoryDriver : public HostDriver {
 public:
  explicit MemoryDriver(BoardMemory& memory, std::string name = "MEM/sim")
      : memory_(memory), name_(std::move(name)) {
    read_version_from_board();
  }
  const char* desc() const override { return name_.c_str(); }
  size_t transport_calls() const { return transport_calls_; }

 protected:
  void do_read(uint32_t address, void* buffer, size_t length) override {
    ++transport_calls_;
    memory_.read(address, static_cast<uint8_t*>(buffer), length);
  }
  void do_write(uint32_t address, const void* buffer, size_t length) override {
    ++transport_calls_;
    memory_.write(address, static_cast<const uint8_t*>(buffer), length);
  }

 private:
  BoardMemory& memory_;
  std::string name_;
  std::atomic<size_t> transport_calls_{0};
};

// The same with the SoC side (clock modes, power measurement) of a USB board.
class MemorySocDriver final : public MemoryDriver, public SocDriver {
 public:
  explicit MemorySocDriver(BoardMemory& memory)
      : MemoryDriver(memory, "MEM/soc"), SocDriver(static_cast<HardwareDriver&>(*this)) {}
  ~MemorySocDriver() override { stop_power_measurement(); }
};

}  // namespace morla::sim

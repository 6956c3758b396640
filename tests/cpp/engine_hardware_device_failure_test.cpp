// The stand-in engine's hardware device when the link to the board fails while it programs
// or unprograms: it keeps no pointer into the caller's program, so bytes freed afterwards
// are never read, and a program half written is never taken for the loaded one.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "board_config.h"
#include "engine_api/hardware_device.h"
#include "memory_driver.h"

namespace morla {
namespace {

// Writes fail once the link is cut.
class CuttableDriver final : public sim::MemoryDriver {
 public:
  using MemoryDriver::MemoryDriver;
  bool cut = false;

 protected:
  void do_write(uint32_t address, const void* buffer, size_t length) override {
    if (cut) throw std::runtime_error("link cut");
    MemoryDriver::do_write(address, buffer, length);
  }
};

class DeviceLosingItsLink : public testing::Test {
 protected:
  DeviceLosingItsLink() {
    sim::load_board(memory_, sim::orbi_board(1));
    driver_ = std::make_unique<CuttableDriver>(memory_);
    device_ = HardwareDevice::create(driver_.get());
    device_->set_program(program_.data(), program_.size());
    driver_->cut = true;
  }
  sim::BoardMemory memory_;
  std::unique_ptr<CuttableDriver> driver_;
  std::shared_ptr<HardwareDevice> device_;
  std::vector<uint8_t> program_ = std::vector<uint8_t>(64, 0x5A);
};

TEST_F(DeviceLosingItsLink, UnprogrammingForgetsTheProgramEvenWhenTheBoardIsNotReached) {
  EXPECT_THROW(device_->unprogram(), std::runtime_error);
  EXPECT_EQ(device_->program().data, nullptr);
  EXPECT_EQ(device_->memory().used, 0u);
}

TEST_F(DeviceLosingItsLink, AFailedProgrammingLeavesNoProgramLoaded) {
  const std::vector<uint8_t> other(32, 0x11);
  EXPECT_THROW(device_->set_program(other.data(), other.size()), std::runtime_error);
  EXPECT_EQ(device_->program().data, nullptr);
  const uint32_t zeros = driver_->memory_base() + 0x1000;  // an empty data prefix
  EXPECT_THROW(device_->program_external(other.data(), other.size(), zeros), std::runtime_error);
  EXPECT_EQ(device_->program().data, nullptr);
}

}  // namespace
}  // namespace morla

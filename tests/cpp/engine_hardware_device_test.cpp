// The stand-in engine's hardware device on a simulated board.
#include <gtest/gtest.h>

#include <stdexcept>

#include "board_config.h"
#include "core/device_versions.h"
#include "engine_api/hardware_device.h"
#include "core/hw_ident.h"
#include "memory_driver.h"

namespace morla {
namespace {

class EngineHardwareDevice : public testing::Test {
 protected:
  EngineHardwareDevice() {
    sim::load_board(memory_, sim::orbi_board(1));
    memory_.write_word(sim::kRegistersBase + sim::kClockCounterOffset, 1234);
    memory_.write_word(sim::kRegistersBase + sim::kProgramClockCountOffset, 99);
    memory_.write_word(sim::kRegistersBase + sim::np_info_offset({3, 2, 1, 0}), 0x4C0);
    driver_ = std::make_unique<sim::MemoryDriver>(memory_);
    device_ = HardwareDevice::create(driver_.get());
  }
  sim::BoardMemory memory_;
  std::unique_ptr<sim::MemoryDriver> driver_;
  std::shared_ptr<HardwareDevice> device_;
};

TEST_F(EngineHardwareDevice, ReadsVersionNpInfoAndCountersFromTheBoard) {
  EXPECT_EQ(read_hw_version(*driver_), devices::Orbi_v1);
  EXPECT_EQ(device_->version(), devices::Orbi_v1);
  EXPECT_STREQ(device_->desc(), "MEM/sim");
  EXPECT_EQ(device_->driver(), driver_.get());
  const hw::Ident idents[2] = {{3, 2, 1, 0}, {1, 2, 0, 0}};
  uint32_t words[2] = {};
  device_->read_np_info(words, idents, 2);
  EXPECT_EQ(words[0], 0x4C0u);
  EXPECT_EQ(words[1], (1u << 6) | (1u << 10));
  EXPECT_EQ(device_->clock_counter(), 1234u);
  EXPECT_EQ(device_->program_clock_count(), 99u);
  device_->set_clock_counter_enabled(true);
  EXPECT_EQ(memory_.read_word(sim::kRegistersBase + sim::kClockCounterControlOffset), 1u);
}

TEST_F(EngineHardwareDevice, KeepsTheCallersProgramAndCountsItsMemory) {
  EXPECT_EQ(device_->program().data, nullptr);
  const std::vector<uint8_t> program(300, 0x42);
  device_->set_program(program.data(), program.size());
  EXPECT_EQ(device_->program().data, program.data());
  EXPECT_EQ(device_->program().size, 300u);
  EXPECT_EQ(memory_.read_word(driver_->memory_base()), 0x42424242u);
  const std::vector<uint8_t> smaller(100, 1);
  device_->set_program(smaller.data(), smaller.size());
  EXPECT_EQ(device_->memory().used, 100u);
  EXPECT_EQ(device_->memory().top, 300u);
  device_->reset_top_memory();
  EXPECT_EQ(device_->memory().top, 100u);
  device_->unprogram();
  EXPECT_EQ(device_->program().data, nullptr);
  EXPECT_EQ(device_->memory().used, 0u);
  EXPECT_TRUE(device_->learn_mem().empty());
}

}  // namespace
}  // namespace morla

// The I2C and I3C master controllers and the INA monitors, register by register
// against the simulated controllers.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <thread>

#include "drivers/i2c_master.h"
#include "drivers/i3c_master.h"
#include "drivers/ina_monitor.h"
#include "soc_test_support.h"
#include "test_helpers.h"

namespace morla {
namespace {

using sim::I2cFault;
using sim::I3cFault;

constexpr uint8_t kMonitor = sim::kPowerMonitorAddress;

class I2cBus : public testing::Test {
 protected:
  I2cBus() { soc::i2c::init(bus()); }
  sim::MemorySocDriver& bus() { return *board_.driver; }
  sim::I2cMaster& model() { return *board_.models.i2c; }
  int read2(uint8_t device, uint8_t reg, uint8_t* bytes) {
    return soc::i2c::read(bus(), device, reg, bytes, 2);
  }
  test::SocBoard board_;
};

TEST_F(I2cBus, ReadsAndWritesAMonitorRegister) {
  EXPECT_TRUE(soc::i2c::probe(bus(), kMonitor));
  EXPECT_FALSE(soc::i2c::probe(bus(), 0x41));
  uint8_t config[2] = {0x07, 0x27};
  EXPECT_EQ(soc::i2c::write(bus(), kMonitor, 0x00, config, 2), 0);
  EXPECT_EQ(board_.models.monitor->configuration(), 0x0727);
  uint8_t bytes[2] = {};
  EXPECT_EQ(read2(kMonitor, 0x02, bytes), 0);
  EXPECT_EQ(bytes[0] << 8 | bytes[1], 960);  // high byte first
}

TEST_F(I2cBus, RefusesAddressesAbove119BeforeTouchingTheBus) {
  const size_t before = bus().transport_calls();
  uint8_t bytes[2] = {};
  EXPECT_EQ(soc::i2c::write(bus(), 120, 0, bytes, 2), soc::i2c::kBadDevice);
  EXPECT_EQ(read2(127, 0, bytes), soc::i2c::kBadDevice);
  EXPECT_EQ(bus().transport_calls(), before);
}

TEST_F(I2cBus, RetriesTheRegisterByteFiveTimesOnNoAcknowledge) {
  uint8_t bytes[2] = {};
  model().set_fault(I2cFault::Nak, 4);
  const size_t phases = model().address_phases();
  EXPECT_EQ(read2(kMonitor, 0x02, bytes), 0);
  EXPECT_EQ(model().address_phases() - phases, 6u);  // 4 refused, the register, the data
  model().set_fault(I2cFault::Nak);
  const size_t refused = model().address_phases();
  EXPECT_EQ(read2(kMonitor, 0x02, bytes), soc::i2c::kNoAck);
  EXPECT_EQ(model().address_phases() - refused, 5u);
  uint8_t config[2] = {};
  EXPECT_EQ(soc::i2c::write(bus(), kMonitor, 0, config, 2), soc::i2c::kNoAck);  // no retry
  EXPECT_EQ(model().address_phases() - refused, 6u);
}

struct FaultCase {
  I2cFault fault;
  int code;
};

class I2cFaults : public I2cBus, public testing::WithParamInterface<FaultCase> {};

TEST_P(I2cFaults, GiveTheirStatusCodes) {
  model().set_fault(GetParam().fault);
  uint8_t bytes[2] = {};
  EXPECT_EQ(read2(kMonitor, 0x02, bytes), GetParam().code);
  EXPECT_EQ(soc::i2c::write(bus(), kMonitor, 0x00, bytes, 2), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, I2cFaults,
    testing::Values(FaultCase{I2cFault::Busy, soc::i2c::kBusy},
                    FaultCase{I2cFault::LostBus, soc::i2c::kNoBus},
                    FaultCase{I2cFault::Hang, soc::i2c::kTimeout},
                    FaultCase{I2cFault::HangWithError, soc::i2c::kTimeoutReset}),
    test::names_by([](const FaultCase& c) { return "status" + std::to_string(-c.code); }));

TEST_F(I2cBus, ATimeoutWithTheErrorBitSetsTheControllerUpAgain) {
  model().set_fault(I2cFault::HangWithError, 1);
  const size_t setups = model().setups();
  uint8_t bytes[2] = {};
  EXPECT_EQ(read2(kMonitor, 0x02, bytes), soc::i2c::kTimeoutReset);
  EXPECT_EQ(model().setups(), setups + 1);
  EXPECT_EQ(read2(kMonitor, 0x02, bytes), 0);
}

TEST_F(I2cBus, InitialisationRefusesABusyBus) {
  model().set_fault(I2cFault::Busy);
  EXPECT_EQ(soc::i2c::init(bus()), soc::i2c::kBusy);
}

class I3cBus : public testing::Test {
 protected:
  explicit I3cBus(sim::MonitorChip chip = sim::MonitorChip::Ina233) : board_(board_config(chip)) {
    soc::i3c::clear(bus());
    EXPECT_EQ(soc::i3c::init(bus()), 0);
  }
  static sim::SocConfig board_config(sim::MonitorChip chip) {
    sim::SocConfig soc;
    soc.monitor_bus = sim::SocConfig::MonitorBus::I3c;
    soc.monitor = chip;
    return soc;
  }
  sim::MemorySocDriver& bus() { return *board_.driver; }
  sim::I3cMaster& model() { return *board_.models.i3c; }
  test::SocBoard board_;
};

TEST_F(I3cBus, ReadsTwoBytesFromOneReceiveWord) {
  uint8_t bytes[3] = {0xAA, 0xAA, 0xAA};
  EXPECT_EQ(soc::i3c::read(bus(), kMonitor, 0x88, bytes, 2), 0);
  EXPECT_EQ(bytes[0] | bytes[1] << 8, 960);  // low byte first
  EXPECT_EQ(bytes[2], 0xAA);
  EXPECT_TRUE(model().last_tx().empty());  // a read sends no data
}

TEST_F(I3cBus, WritesItsBytesAndSendsAZeroWordForAnEmptyWrite) {
  uint8_t config[2] = {0x27, 0x07};
  EXPECT_EQ(soc::i3c::write(bus(), kMonitor, 0xD0, config, 2), 0);
  EXPECT_EQ(board_.models.monitor->configuration(), 0x0727);
  EXPECT_EQ(model().last_tx(), std::vector<uint32_t>{0x0727});
  EXPECT_EQ(soc::i3c::write(bus(), kMonitor, 0x03, nullptr, 0), 0);
  EXPECT_EQ(model().last_tx(), std::vector<uint32_t>{0});
}

TEST_F(I3cBus, ReportsResponseErrors) {
  uint8_t bytes[2] = {};
  board_.models.monitor->set_answering(false);
  EXPECT_EQ(soc::i3c::read(bus(), kMonitor, 0x88, bytes, 2), soc::i3c::kResponseError);
  board_.models.monitor->set_answering(true);
  model().set_fault(I3cFault::WrongLength);
  EXPECT_EQ(soc::i3c::read(bus(), kMonitor, 0x88, bytes, 2), soc::i3c::kWrongLength);
  EXPECT_EQ(soc::i3c::write(bus(), kMonitor, 0xD0, bytes, 2), 0);
  model().set_fault(I3cFault::WrongIdentifier);
  EXPECT_EQ(soc::i3c::read(bus(), kMonitor, 0x88, bytes, 2), soc::i3c::kWrongIdentifier);
  EXPECT_EQ(soc::i3c::write(bus(), kMonitor, 0xD0, bytes, 2), soc::i3c::kWrongIdentifier);
}

// A controller that stalls gives each operation's time-out status once its wait is over.
TEST_F(I3cBus, AStalledControllerTimesOutAfterTheWaitItIsGiven) {
  model().set_fault(I3cFault::Stalled);
  const std::chrono::milliseconds wait(5);
  uint8_t bytes[2] = {};
  EXPECT_EQ(soc::i3c::clear(bus(), wait), soc::i3c::kNotIdle);
  EXPECT_EQ(soc::i3c::init(bus(), wait), soc::i3c::kNotIdle);
  EXPECT_EQ(soc::i3c::read(bus(), kMonitor, 0x88, bytes, 2, wait), soc::i3c::kNoCompletion);
  EXPECT_EQ(soc::i3c::write(bus(), kMonitor, 0xD0, bytes, 2, wait), soc::i3c::kNoCompletion);
  model().set_fault(I3cFault::None);
}

TEST_F(I3cBus, RegistersAtMostSevenDevices) {
  uint8_t bytes[2] = {};
  for (uint8_t address = 0x40; address < 0x49; ++address)
    soc::i3c::read(bus(), address, 0x88, bytes, 2);
  soc::i3c::read(bus(), 0x40, 0x88, bytes, 2);
  const std::vector<uint8_t> expected = {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46};
  EXPECT_EQ(model().registrations(), expected);
  EXPECT_EQ(soc::i3c::registered_device_count(), 8u);
  EXPECT_EQ(soc::i3c::clear(bus()), 0);
  EXPECT_EQ(soc::i3c::registered_device_count(), 1u);
}

TEST_F(I3cBus, InitialisationDrainsLeftoverQueues) {
  model().set_fault(I3cFault::StaleQueues);
  testing::internal::CaptureStdout();
  EXPECT_EQ(soc::i3c::init(bus()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: i3c reported cmdr fifo was not empty\n"
            "WARNING: i3c reported rx fifo was not empty\n");
  model().set_fault(I3cFault::None);
  uint8_t bytes[2] = {};
  EXPECT_EQ(soc::i3c::read(bus(), kMonitor, 0x88, bytes, 2), 0);
  EXPECT_EQ(bytes[0] | bytes[1] << 8, 960);
}

struct InaCase {
  sim::MonitorChip chip;
  bool answers;
  bool ina233;
};

sim::SocConfig with_monitor(sim::MonitorChip chip) {
  sim::SocConfig soc;
  soc.monitor = chip;
  return soc;
}

// The monitor of `board` on its I2C bus, as the sampling thread makes it.
std::unique_ptr<soc::INA> ina_on(test::SocBoard& board) {
  soc::i2c::init(*board.driver);
  return soc::make_ina(*board.driver, kMonitor, soc::i2c::monitor_bus());
}

class InaKind : public testing::TestWithParam<InaCase> {};

TEST_P(InaKind, IsChosenFromTheModelRegister) {
  test::SocBoard board(with_monitor(GetParam().chip));
  board.models.monitor->set_answering(GetParam().answers);
  const auto ina = ina_on(board);
  EXPECT_EQ(dynamic_cast<soc::INA233*>(ina.get()) != nullptr, GetParam().ina233);
}

INSTANTIATE_TEST_SUITE_P(Chips, InaKind,
                         testing::Values(InaCase{sim::MonitorChip::Ina233, true, true},
                                         InaCase{sim::MonitorChip::Ina231, true, false},
                                         InaCase{sim::MonitorChip::Ina233, false, false}),
                         test::names_by([](const InaCase& c) {
                           return std::string(c.chip == sim::MonitorChip::Ina233 ? "ina233"
                                                                                 : "ina231") +
                                  (c.answers ? "_answering" : "_silent");
                         }));

// The current register as each chip reads it: the INA231's is unsigned, the
// INA233's signed (a negative current counts as 0 mA, so the meter drops it).
struct CurrentCase {
  const char* name;
  sim::MonitorChip chip;
  uint16_t steps;
  uint32_t milliamperes;
};

class InaCurrent : public testing::TestWithParam<CurrentCase> {};

TEST_P(InaCurrent, IsTwoAndAHalfMilliamperesPerStepTruncated) {
  test::SocBoard board(with_monitor(GetParam().chip));
  board.models.monitor->set_readings(960, GetParam().steps);
  EXPECT_EQ(ina_on(board)->current(), GetParam().milliamperes);
}

INSTANTIATE_TEST_SUITE_P(
    Chips, InaCurrent,
    testing::Values(CurrentCase{"Ina231Odd", sim::MonitorChip::Ina231, 401, 1002},
                    CurrentCase{"Ina231TopBitSet", sim::MonitorChip::Ina231, 0x8001, 81922},
                    CurrentCase{"Ina233Odd", sim::MonitorChip::Ina233, 401, 1002},
                    CurrentCase{"Ina233Largest", sim::MonitorChip::Ina233, 0x7FFF, 81917},
                    CurrentCase{"Ina233MinusOneStep", sim::MonitorChip::Ina233, 0xFFFF, 0},
                    CurrentCase{"Ina233MostNegative", sim::MonitorChip::Ina233, 0x8000, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Two boards measuring power at once share the process-wide I3C device table.
// Each registers three devices of its own at the same moment, many times over:
// every registration must get a device number of its own.
TEST(I3cDeviceTable, TwoBoardsRegisteringAtOnceGetDistinctDeviceNumbers) {
  sim::SocConfig soc;
  soc.monitor_bus = sim::SocConfig::MonitorBus::I3c;
  test::SocBoard first(soc), second(soc);
  for (int round = 0; round < 300; ++round) {
    soc::i3c::clear(*first.driver);
    soc::i3c::clear(*second.driver);
    std::atomic<int> ready{0};
    auto register_three = [&](sim::MemorySocDriver& bus, uint8_t first_address) {
      ++ready;
      while (ready < 2) {
      }
      uint8_t bytes[2] = {};
      for (uint8_t k = 0; k < 3; ++k) soc::i3c::read(bus, first_address + k, 0x88, bytes, 2);
    };
    std::thread a(register_three, std::ref(*first.driver), 0x40);
    std::thread b(register_three, std::ref(*second.driver), 0x50);
    a.join();
    b.join();
    const uint32_t enabled_first = read_register(*first.driver, soc::i3c::kDeviceEnable) & 0xFE;
    const uint32_t enabled_second = read_register(*second.driver, soc::i3c::kDeviceEnable) & 0xFE;
    ASSERT_EQ(soc::i3c::registered_device_count(), 7u) << "round " << round;
    ASSERT_EQ(enabled_first & enabled_second, 0u) << "round " << round;
    ASSERT_EQ(std::popcount(enabled_first | enabled_second), 6) << "round " << round;
  }
}

TEST(Ina, ReadErrorsNameTheQuantity) {
  test::SocBoard board;
  soc::i2c::init(*board.driver);
  soc::INA231 ina(*board.driver, kMonitor, soc::i2c::monitor_bus());
  board.models.i2c->set_fault(I2cFault::LostBus);
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { ina.current(); }),
            "Unable to get INA current: failed to read bus: -5 (bus not taken)");
}

}  // namespace
}  // namespace morla

// The power meter, and power measurement through the SoC side of a driver: the
// sampling thread over the I2C or I3C bus, its faults, and its lifetime.
#include <gtest/gtest.h>

#include <cfloat>

#include "core/platform.h"
#include "driver_test_support.h"
#include "soc_test_support.h"
#include "test_helpers.h"

namespace morla {
namespace {

using Event = PowerMeter::PowerEvent;

TEST(PowerMeter, KeepsTheLatestHundredEventsOldestFirst) {
  PowerMeter meter;
  EXPECT_FALSE(meter.has_events());
  for (int i = 1; i <= 101; ++i) meter.add_event({i, 1000000, static_cast<uint32_t>(i)});
  const auto events = meter.events();
  ASSERT_EQ(events.size(), 100u);
  EXPECT_EQ(events.front().ts, 2);
  EXPECT_EQ(events.back().ts, 101);
  EXPECT_EQ(meter.events().size(), 100u);  // reading does not empty the ring
  EXPECT_FLOAT_EQ(meter.floor(), 1.0f);
}

TEST(PowerMeter, DropsPowerlessEventsAndEventsBeforeTheReset) {
  PowerMeter meter;
  EXPECT_EQ(meter.floor(), 0.0f);
  meter.add_event({1, 0, 500});
  meter.add_event({2, 1200000, 0});
  EXPECT_FALSE(meter.has_events());
  meter.add_event({3, 1200000, 500});
  EXPECT_FLOAT_EQ(meter.floor(), 600.0f);
  meter.add_event({4, 2000000, 500});
  EXPECT_FLOAT_EQ(meter.floor(), 600.0f);

  meter.reset(10);
  EXPECT_EQ(meter.floor(), 0.0f);
  EXPECT_EQ(meter.events().size(), 2u);  // the reset keeps the ring
  meter.add_event({10, 1000000, 100});
  EXPECT_EQ(meter.events().size(), 2u);
  meter.add_event({11, 1000000, 900});
  EXPECT_EQ(meter.events().size(), 3u);
  EXPECT_FLOAT_EQ(meter.floor(), 900.0f);
}

TEST(PowerMeter, PowerIsTruncatedMilliwatts) {
  EXPECT_EQ(event_power_mw({0, 1200000, 500}), 600u);
  EXPECT_EQ(event_power_mw({0, 5000000, 1000}), 5000u);
  EXPECT_EQ(event_power_mw({0, 1999999, 1}), 1u);
  EXPECT_EQ(event_power_mw({0, 0xFFFFFFFF, 0xFFFFFFFF}), 18446744065119ull);  // no overflow
}

struct MonitorCase {
  sim::SocConfig::MonitorBus bus;
  sim::MonitorChip chip;
};

class PowerSampling : public testing::TestWithParam<MonitorCase> {};

std::shared_ptr<PowerMeter> enable_and_wait(SocDriver& driver) {
  driver.set_power_measurement_enabled(true);
  auto meter = driver.power_meter();
  EXPECT_TRUE(meter);
  EXPECT_TRUE(test::wait_until([&] { return meter && meter->has_events(); }));
  return meter;
}

TEST_P(PowerSampling, ReadsTheMonitorOnEitherBus) {
  sim::SocConfig soc;
  soc.monitor_bus = GetParam().bus;
  soc.monitor = GetParam().chip;
  soc.voltage_steps = 4000;  // 5 V
  soc.current_steps = 401;   // 1002.5 mA, truncated
  test::SocBoard board(soc);
  const auto meter = enable_and_wait(*board.driver);
  EXPECT_EQ(board.models.monitor->configuration(), 0x0727);
  const Event event = meter->events().front();
  EXPECT_EQ(event.voltage, 5000000u);
  EXPECT_EQ(event.current, 1002u);
  EXPECT_EQ(event_power_mw(event), 5010u);
  board.driver->set_power_measurement_enabled(false);
  EXPECT_FALSE(board.driver->power_meter());
  EXPECT_TRUE(meter->has_events());  // a holder keeps the meter and its events
}

INSTANTIATE_TEST_SUITE_P(
    Monitors, PowerSampling,
    testing::Values(MonitorCase{sim::SocConfig::MonitorBus::I2c, sim::MonitorChip::Ina231},
                    MonitorCase{sim::SocConfig::MonitorBus::I2c, sim::MonitorChip::Ina233},
                    MonitorCase{sim::SocConfig::MonitorBus::I3c, sim::MonitorChip::Ina231},
                    MonitorCase{sim::SocConfig::MonitorBus::I3c, sim::MonitorChip::Ina233}),
    test::names_by([](const MonitorCase& c) {
      return std::string(c.bus == sim::SocConfig::MonitorBus::I3c ? "i3c_" : "i2c_") +
             (c.chip == sim::MonitorChip::Ina233 ? "ina233" : "ina231");
    }));

// A current flowing back (negative on the INA233) makes no event.
TEST(PowerSampling, ANegativeCurrentMakesNoEvent) {
  sim::SocConfig soc;
  soc.monitor = sim::MonitorChip::Ina233;
  soc.current_steps = 0xFFF0;  // -16 steps, -40 mA
  test::SocBoard board(soc);
  board.driver->set_power_measurement_enabled(true);
  const auto meter = board.driver->power_meter();
  // Each sample reads two registers, each read takes two address phases.
  const size_t phases = board.models.i2c->address_phases();
  ASSERT_TRUE(test::wait_until([&] { return board.models.i2c->address_phases() >= phases + 12; }));
  EXPECT_FALSE(meter->has_events());
  board.models.monitor->set_readings(960, 16);
  ASSERT_TRUE(test::wait_until([&] { return meter->has_events(); }));
  EXPECT_EQ(meter->events().front().current, 40u);
}

TEST(PowerMeasurement, EnablingTwiceKeepsOneMeterAndDisablingTwiceIsHarmless) {
  test::SocBoard board;
  board.driver->set_power_measurement_enabled(true);
  const auto meter = board.driver->power_meter();
  board.driver->set_power_measurement_enabled(true);
  EXPECT_EQ(board.driver->power_meter(), meter);
  board.driver->set_power_measurement_enabled(false);
  board.driver->set_power_measurement_enabled(false);
  EXPECT_FALSE(board.driver->power_meter());
}

TEST(PowerMeasurement, AFailedStartLeavesMeasurementOffAndCanBeRetried) {
  test::SocBoard board;
  board.models.i2c->set_fault(sim::I2cFault::Busy);
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { board.driver->set_power_measurement_enabled(true); }),
            "Failed to init i2c controller: -1 (bus busy)");
  EXPECT_FALSE(board.driver->power_meter());
  board.models.i2c->set_fault(sim::I2cFault::None);
  EXPECT_TRUE(enable_and_wait(*board.driver)->has_events());
}

TEST(PowerMeasurement, AMonitorThatFailsItsSetUpIsReported) {
  test::SocBoard board;
  board.models.monitor->set_answering(false);
  // Nobody answers on I2C, so the I3C bus is tried, where nobody answers either.
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { board.driver->set_power_measurement_enabled(true); }),
            "Unable to init INA: failed to send to bus: -2 (error response)");
  EXPECT_FALSE(board.driver->power_meter());
}

TEST(PowerMeasurement, AMonitorThatStopsAnsweringEndsTheThreadAndKeepsTheMeter) {
  test::SocBoard board;
  const auto meter = enable_and_wait(*board.driver);
  testing::internal::CaptureStdout();
  const size_t phases = board.models.i2c->address_phases();
  board.models.monitor->set_answering(false);
  // Five refused address phases make one failed read, which ends the thread.
  ASSERT_TRUE(test::wait_until([&] { return board.models.i2c->address_phases() >= phases + 5; }));
  ASSERT_TRUE(test::wait_until([&] {
    board.driver->set_power_measurement_enabled(true);  // no-op while the meter is held
    return board.driver->power_meter() == meter;
  }));
  board.driver->set_power_measurement_enabled(false);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("An error occured while reading power: Unable to get INA "),
            std::string::npos)
      << printed;
  EXPECT_NE(printed.find(": failed to read bus: -6 (no acknowledge)\n"), std::string::npos)
      << printed;

  board.models.monitor->set_answering(true);
  const auto fresh = enable_and_wait(*board.driver);
  EXPECT_NE(fresh, meter);
}

TEST(PowerMeasurement, ALostI2cSetUpIsRestoredWhileSampling) {
  test::SocBoard board;
  const auto meter = enable_and_wait(*board.driver);
  const size_t setups = board.models.i2c->setups();
  board.models.i2c->lose_setup_after_reading(0x01);  // at the end of a sample
  ASSERT_TRUE(test::wait_until([&] { return board.models.i2c->setups() > setups; }));
  const size_t count = meter->events().size();
  EXPECT_TRUE(test::wait_until([&] { return meter->events().size() > count; }));
}

TEST(PowerMeasurement, AClockChangeDiscardsSamplesWhileTheClockSettles) {
  test::SocBoard board;
  const auto meter = enable_and_wait(*board.driver);
  const int64_t before_change = time_ms();
  board.driver->set_clock_mode(soc::ClockMode::Economy);
  const size_t kept = meter->events().size();
  EXPECT_GE(kept, 1u);
  EXPECT_TRUE(test::wait_until([&] { return meter->events().size() > kept; }));
  const auto events = meter->events();
  EXPECT_GT(events[kept].ts, before_change + SocDriver::kClockSettleMs);
  EXPECT_FLOAT_EQ(meter->floor(), 600.0f);
}

TEST(PowerMeasurement, DestroyingTheDriverWhileSamplingStopsTheThread) {
  test::SocBoard board;
  const auto meter = enable_and_wait(*board.driver);
  board.driver.reset();
  EXPECT_TRUE(meter->has_events());
}

TEST(PowerMeasurement, RepeatedSwitchingOverUsbNeitherLeaksNorDeadlocks) {
  sim::BoardSimulator simulator(sim::orbi_board(1));
  testing::internal::CaptureStdout();
  auto driver = test::usb_driver_on(simulator);
  testing::internal::GetCapturedStdout();
  for (int i = 0; i < 100; ++i) {
    driver->set_power_measurement_enabled(true);
    const auto meter = driver->power_meter();
    ASSERT_TRUE(meter);
    if (i % 10 == 0) {
      ASSERT_TRUE(test::wait_until([&] { return meter->has_events(); }));
    }
    driver->set_power_measurement_enabled(false);
    ASSERT_FALSE(driver->power_meter());
  }
  driver->set_power_measurement_enabled(true);
  const auto meter = driver->power_meter();
  ASSERT_TRUE(test::wait_until([&] { return meter->has_events(); }));
  EXPECT_EQ(meter->events().front().voltage, 1200000u);
  driver.reset();  // while sampling
}

}  // namespace
}  // namespace morla

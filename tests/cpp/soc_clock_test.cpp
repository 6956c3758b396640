// SoC clock modes against the simulated clock block.
#include <gtest/gtest.h>

#include <stdexcept>

#include "drivers/soc_clock.h"
#include "soc_test_support.h"
#include "test_helpers.h"

namespace morla {
namespace {

using soc::ClockMode;

struct DividerCase {
  uint32_t word;
  bool known;
  ClockMode mode;
  uint32_t hz;
};

class ClockFrequency : public testing::TestWithParam<DividerCase> {};

TEST_P(ClockFrequency, IsReadFromTheDividersLowByte) {
  const DividerCase c = GetParam();
  sim::BoardMemory memory;  // plain words, no clock model
  memory.write_word(sim::kRegistersBase, 0);
  memory.write_word(sim::kClockCoreDivider, c.word);
  sim::MemoryDriver driver(memory);
  if (c.known) {
    EXPECT_EQ(soc::read_clock_frequency(driver), c.mode);
    return;
  }
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { soc::read_clock_frequency(driver); }),
            "Unexpected frequency value detected: " + std::to_string(c.hz) + ".");
}

INSTANTIATE_TEST_SUITE_P(
    Dividers, ClockFrequency,
    testing::Values(DividerCase{1, true, ClockMode::Performance, 0},
                    DividerCase{0xFFFFFF05, true, ClockMode::Economy, 0},
                    DividerCase{119, true, ClockMode::LowPower, 0},
                    DividerCase{0, false, {}, 600000000}, DividerCase{2, false, {}, 200000000}),
    test::names_by([](const DividerCase& c) { return "dividers_" + std::to_string(c.word); }));

struct ModeCase {
  ClockMode mode;
  uint32_t doubled, core, bus;
};

class ClockChange : public testing::TestWithParam<ModeCase> {};

TEST_P(ClockChange, WritesTheDividersAndReadsTheModeBack) {
  const ModeCase c = GetParam();
  test::SocBoard board;
  board.driver->set_clock_mode(c.mode);
  const auto& clock = *board.models.clock;
  EXPECT_EQ(clock.written(sim::kClockDoubleDivider), c.doubled);
  EXPECT_EQ(clock.written(sim::kClockCoreDivider), c.core);
  EXPECT_EQ(clock.written(sim::kClockBusDivider), c.bus);
  EXPECT_EQ(clock.written(sim::kClockChange), 1u);
  EXPECT_EQ(board.driver->clock_mode(), c.mode);
}

INSTANTIATE_TEST_SUITE_P(Modes, ClockChange,
                         testing::Values(ModeCase{ClockMode::Performance, 3, 1, 1},
                                         ModeCase{ClockMode::Economy, 11, 5, 5},
                                         ModeCase{ClockMode::LowPower, 239, 119, 119}),
                         test::names_by([](const ModeCase& c) {
                           return "core_divider_" + std::to_string(c.core);
                         }));

TEST(ClockChange, RefusesWhileAChangeIsInProgressWithoutWriting) {
  test::SocBoard board;
  board.models.clock->set_stuck_changing();
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { board.driver->set_clock_mode(ClockMode::Economy); }),
            "Clock mode is already changing.");
  EXPECT_EQ(board.models.clock->writes(), 0u);
}

TEST(ClockChange, FailsWhenTheChangeNeverCompletes) {
  sim::SocConfig soc;
  soc.clock_settle_reads = -1;
  test::SocBoard board(soc);
  EXPECT_EQ(test::error_text<std::runtime_error>(
                [&] { board.driver->set_clock_mode(ClockMode::LowPower); }),
            "Failed to apply clock mode.");
  EXPECT_EQ(board.driver->clock_mode(), ClockMode::Performance);
}

TEST(ClockChange, ReturnsAfterOnePollWhenTheChangeIsImmediate) {
  sim::SocConfig soc;
  soc.clock_settle_reads = 0;
  test::SocBoard board(soc);
  const size_t before = board.driver->transport_calls();
  board.driver->set_clock_mode(ClockMode::Economy);
  // One check, four writes, one poll.
  EXPECT_EQ(board.driver->transport_calls() - before, 6u);
}

TEST(ClockChange, RefusesAnUnknownMode) {
  test::SocBoard board;
  EXPECT_THROW(board.driver->set_clock_mode(static_cast<ClockMode>(7)), std::invalid_argument);
  EXPECT_EQ(board.models.clock->writes(), 0u);
}

}  // namespace
}  // namespace morla

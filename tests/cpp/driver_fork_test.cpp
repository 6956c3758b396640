// fork() while a board's power is sampled: children start with every lock free and may not
// talk to the parent's board; the parent's exchanges and sampling go on, and the parent
// still holds its tty after the children have closed their copies of it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include "driver_test_support.h"
#include "drivers/bin_protocol.h"
#include "drivers/hw_dump.h"
#include "drivers/posix/serial_port_posix.h"
#include "soc_test_support.h"

namespace morla {
namespace {

constexpr uint32_t kVersionRegister = 0xF0000010;

// Exit codes of the child.
enum ChildOutcome { kRefused = 0, kTalkedToTheBoard = 2, kOtherError = 3 };

// The child takes each lock the sampling thread takes, is refused the parent's board, and
// tears its copy of the driver down; a hang ends it by SIGALRM.
[[noreturn]] void child(std::unique_ptr<UsbDriver>& driver,
                        const std::shared_ptr<PowerMeter>& meter) {
  alarm(5);
  bin_sequence_number();  // the protocol lock
  meter->events();        // the meter's lock
  const uint8_t byte = 0;
  hw_dump_record(0, &byte, 1, 0);  // the hardware dump's lock
  int outcome = kTalkedToTheBoard;
  try {
    read_register(*driver, kVersionRegister);
  } catch (const std::runtime_error& e) {
    // The refusal names the process that may use the board and what the child can do.
    const std::string parent = std::to_string(getppid());
    const std::string refusal = std::string("The board of driver ") + driver->desc() +
                                " belongs to process " + parent + ", which opened it; this is "
                                "process " + std::to_string(getpid()) + ", forked from it, which "
                                "cannot use the board: hand the work to process " + parent + ".";
    outcome = e.what() == refusal ? kRefused : kOtherError;
  }
  driver.reset();
  _exit(outcome);
}

TEST(ForkWhileSampling, ChildrenStartFreeAndTheParentKeepsItsBoard) {
  sim::BoardSimulator board(sim::orbi_board(1));
  testing::internal::CaptureStdout();
  auto driver = test::usb_driver_on(board);
  testing::internal::GetCapturedStdout();
  driver->set_power_measurement_enabled(true);
  const auto meter = driver->power_meter();
  ASSERT_TRUE(test::wait_until([&] { return meter->has_events(); }));
  const uint32_t version = read_register(*driver, kVersionRegister);

  for (int i = 0; i < 40; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) child(driver, meter);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child " << i << " hung or crashed (signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
    ASSERT_EQ(WEXITSTATUS(status), kRefused) << "child " << i;
    // Between forks the parent's exchanges keep their own replies.
    ASSERT_EQ(read_register(*driver, kVersionRegister), version) << "after child " << i;
  }
  errno = 0;
  EXPECT_EQ(SerialPortPosix::open(board.port_path()), nullptr) << "the children released the tty";
  EXPECT_EQ(errno, EWOULDBLOCK);
  EXPECT_TRUE(driver->power_meter() == meter);
  const int64_t last = meter->events().back().ts;
  EXPECT_TRUE(test::wait_until([&] { return meter->events().back().ts > last; }))
      << "sampling stopped in the parent";
}

}  // namespace
}  // namespace morla

#pragma once
// Helpers shared by the driver and device tests.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "board_simulator.h"
#include "drivers/driver_deadlines.h"
#include "drivers/usb_driver.h"

namespace morla::test {

// A USB driver found through MORLA_SERIAL_PORT on the tty `port`.
inline std::unique_ptr<UsbDriver> usb_driver_on_port(const std::string& port,
                                                     const DriverDeadlines& deadlines = {}) {
  unsetenv("NO_USB");
  setenv("MORLA_SERIAL_PORT", port.c_str(), 1);
  return std::make_unique<UsbDriver>(deadlines);
}

// A USB driver found through MORLA_SERIAL_PORT on the simulated board, with the
// deadlines the board plays against.
inline std::unique_ptr<UsbDriver> usb_driver_on(const sim::BoardSimulator& board) {
  return usb_driver_on_port(board.port_path(), board.host_deadlines());
}

// About a fifth of the driver's own deadlines, for tests that reach time-outs: still
// long enough for a simulated board on a busy machine to answer in time.
inline DriverDeadlines short_deadlines() {
  using std::chrono::milliseconds;
  DriverDeadlines d;
  d.probe_read = milliseconds(40);
  d.probe = milliseconds(80);
  d.prompt = milliseconds(200);
  d.reply_byte = milliseconds(200);
  d.reply_marker = milliseconds(400);
  d.drain_quiet = milliseconds(120);
  d.drain_limit = milliseconds(400);
  return d;
}

// The tty of a real board that the tests of a board link also run against, named by
// MORLA_TEST_BOARD_PORT; empty when none is given (those cases are then skipped).
inline std::string real_board_port() {
  const char* port = std::getenv("MORLA_TEST_BOARD_PORT");
  return port != nullptr ? port : "";
}

// Standard output of a shell command, run with a time limit.
std::string run_command(const std::string& command);

// A program built beside the tests.
inline std::string built_program(const char* name) {
  return std::string(MORLA_BINARY_DIR) + "/" + name;
}

}  // namespace morla::test

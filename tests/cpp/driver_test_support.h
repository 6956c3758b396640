#pragma once
// Helpers shared by the driver and device tests.
#include <cstdlib>
#include <memory>
#include <string>

#include "board_simulator.h"
#include "drivers/usb_driver.h"

namespace morla::test {

// A USB driver found through MORLA_SERIAL_PORT on the tty `port`.
inline std::unique_ptr<UsbDriver> usb_driver_on_port(const std::string& port) {
  unsetenv("NO_USB");
  setenv("MORLA_SERIAL_PORT", port.c_str(), 1);
  return std::make_unique<UsbDriver>();
}

// A USB driver found through MORLA_SERIAL_PORT on the simulated board.
inline std::unique_ptr<UsbDriver> usb_driver_on(const sim::BoardSimulator& board) {
  return usb_driver_on_port(board.port_path());
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

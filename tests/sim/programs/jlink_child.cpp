// A J-Link driver in a fresh process, as the tests drive it against the fake probe
// library named by MORLA_JLINK_LIBRARY. Each argument is one step, its outcome
// printed on a line of its own:
//   read:<hex address>:<length>    "read <first word in hex>" or "error: <text>" (of a
//                                  TransportError; "untyped error: " for another)
//   write:<hex address>:<length>   writes a byte pattern: "written" or "error: <text>"
//   set:<VARIABLE>=<value>         sets a variable of the environment (the library's
//                                  failure modes are read at each call)
// Before the steps the driver is made ("desc=<desc>", or "not available"); after them
// it is destroyed ("destroyed").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "drivers/driver_errors.h"
#include "drivers/hw_dump.h"
#include "drivers/jlink_driver.h"
#include "drivers/transport_error.h"

using namespace morla;

namespace {

struct Transfer {
  uint32_t address;
  size_t length;
};

Transfer parse_transfer(const char* text) {
  char* end = nullptr;
  const auto address = static_cast<uint32_t>(std::strtoul(text, &end, 16));
  return {address, std::strtoul(end + 1, nullptr, 10)};
}

void run_step(JlinkDriver& driver, const std::string& step) {
  try {
    if (step.rfind("read:", 0) == 0) {
      const Transfer t = parse_transfer(step.c_str() + 5);
      std::vector<uint8_t> bytes(t.length);
      driver.read(t.address, bytes.data(), bytes.size());
      uint32_t word = 0;
      std::memcpy(&word, bytes.data(), std::min<size_t>(4, bytes.size()));
      std::printf("read %08x\n", word);
    } else if (step.rfind("write:", 0) == 0) {
      const Transfer t = parse_transfer(step.c_str() + 6);
      std::vector<uint8_t> bytes(t.length);
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 1);
      driver.write(t.address, bytes.data(), bytes.size());
      std::printf("written\n");
    } else if (step.rfind("set:", 0) == 0) {
      const std::string assignment = step.substr(4);
      const size_t equals = assignment.find('=');
      setenv(assignment.substr(0, equals).c_str(), assignment.substr(equals + 1).c_str(), 1);
    }
  } catch (const TransportError& error) {
    std::printf("error: %s\n", error.what());
  } catch (const std::runtime_error& error) {
    std::printf("untyped error: %s\n", error.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  hw_dump_init();
  std::unique_ptr<JlinkDriver> driver;
  try {
    driver = std::make_unique<JlinkDriver>();
  } catch (const DriverNotAvailable&) {
    std::printf("not available\n");
    return 0;
  }
  std::printf("desc=%s\n", driver->desc());
  for (int i = 1; i < argc; ++i) run_step(*driver, argv[i]);
  driver.reset();
  std::printf("destroyed\n");
  std::fflush(stdout);
  return 0;
}

// Builds the driver registry in a fresh process, as a test sees it from outside.
//   registry_child            the registry as the environment makes it
//   registry_child --board    a simulated board on MORLA_SERIAL_PORT, then a fixed
//                             series of accesses (for the hardware dump)
//   registry_child --threads  accesses from two threads at once
//   registry_child --devices  the device list, built twice, and each device's desc
//   registry_child --board --devices   the device list of a simulated board
//   registry_child --silent   a tty that never answers on MORLA_SERIAL_PORT: the
//                             registry and the device list
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "board_simulator.h"
#include "devices/device_list.h"
#include "drivers/driver_registry.h"
#include "drivers/hw_dump.h"
#include "memory_driver.h"

using namespace morla;

namespace {

void print_devices() {
  const DeviceList& first = get_devices();
  std::printf("devices=%zu same=%d\n", first.size(), &first == &get_devices());
  for (const auto& device : first) std::printf("desc=%s\n", device->desc());
}

void print_registry() {
  DriverList& first = get_drivers();
  DriverList& second = get_drivers();
  std::printf("drivers=%zu same=%d\n", first.size(), &first == &second);
  for (const auto& driver : first) std::printf("desc=%s\n", driver->desc());
}

// Twenty polls of one register, a write, and a read that ends mid-word.
void fixed_accesses(HardwareDriver& driver) {
  uint32_t word = 0;
  for (int i = 0; i < 20; ++i) driver.read(0x24000000, &word, 4);
  const uint32_t value = 0x0000ABCD;
  driver.write(0x24000000, &value, 4);
  uint8_t six[6];
  driver.read(0x24000100, six, 6);
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "--threads") == 0) {
    hw_dump_init();
    sim::BoardMemory memory;
    sim::MemoryDriver driver(memory);
    auto writer = [&](uint32_t base) {
      for (uint32_t i = 0; i < 2000; ++i) driver.write(base + 4 * i, &i, 4);
    };
    std::thread a(writer, 0x24000000u), b(writer, 0x25000000u);
    a.join();
    b.join();
    return 0;
  }
  const bool devices = argc > 2 && std::strcmp(argv[2], "--devices") == 0;
  if (std::strcmp(mode, "--devices") == 0) {
    print_devices();
    return 0;
  }
  if (std::strcmp(mode, "--silent") == 0) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
    setenv("MORLA_SERIAL_PORT", ptsname(master), 1);
    print_registry();
    print_devices();
    std::fflush(stdout);
    close(master);
    return 0;
  }
  std::unique_ptr<sim::BoardSimulator> board;
  if (std::strcmp(mode, "--board") == 0) {
    sim::BoardConfig board_config = sim::orbi_board(1);
    board = std::make_unique<sim::BoardSimulator>(board_config);
    board->memory().write_word(0x24000100, 0x04030201);
    board->memory().write_word(0x24000104, 0x00000605);
    setenv("MORLA_SERIAL_PORT", board->port_path().c_str(), 1);
  }
  if (devices) {
    print_devices();
    std::fflush(stdout);
    return 0;
  }
  print_registry();
  if (board) {
    const auto frames = board->frames();
    if (!frames.empty()) std::printf("first_sequence=%u\n", frames.front().sequence);
    if (!get_drivers().empty()) fixed_accesses(*get_drivers().front());
  }
  std::fflush(stdout);
  return 0;
}

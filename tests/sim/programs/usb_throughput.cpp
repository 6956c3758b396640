// Throughput of 1 MiB through the USB driver against the board simulator, beside
// the same pseudo-terminal moving the same bytes without the protocol.
// Prints one line per direction: "<direction> driver_ms=<t> raw_ms=<t> ratio=<raw/driver>".
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "board_simulator.h"
#include "drivers/posix/serial_port_posix.h"
#include "drivers/usb_driver.h"

using namespace morla;

namespace {

constexpr size_t kBytes = size_t{1} << 20;
constexpr int kRuns = 5;

double best_ms(const std::function<void()>& run) {
  double best = 1e30;
  for (int i = 0; i < kRuns; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - t0)
                              .count());
  }
  return best;
}

// The board's end of a bare pseudo-terminal: drains or fills it in large blocks,
// as the simulator does.
void peer_io(int master, bool drain) {
  std::vector<uint8_t> block(1 << 16, 0x5A);
  size_t done = 0;
  while (done < kBytes) {
    pollfd entry{master, static_cast<short>(drain ? POLLIN : POLLOUT), 0};
    if (poll(&entry, 1, 5000) <= 0) return;
    const ssize_t n = drain ? read(master, block.data(), block.size())
                            : write(master, block.data(), std::min(block.size(), kBytes - done));
    if (n > 0) done += static_cast<size_t>(n);
  }
}

}  // namespace

int main() {
  std::vector<uint8_t> data(kBytes, 0x33);
  sim::BoardSimulator board(sim::orbi_board(1));
  setenv("MORLA_SERIAL_PORT", board.port_path().c_str(), 1);
  unsetenv("NO_USB");
  UsbDriver driver;
  const double driver_write = best_ms([&] { driver.write(0x24000000, data.data(), kBytes); });
  const double driver_read = best_ms([&] { driver.read(0x24000000, data.data(), kBytes); });

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(master);
  unlockpt(master);
  fcntl(master, F_SETFL, O_NONBLOCK);
  auto port = SerialPortPosix::open(ptsname(master));
  if (!port) return 1;
  const double raw_write = best_ms([&] {
    std::thread peer(peer_io, master, true);
    port->write(data.data(), kBytes);
    peer.join();
  });
  const double raw_read = best_ms([&] {
    std::thread peer(peer_io, master, false);
    port->read(data.data(), kBytes);
    peer.join();
  });
  close(master);
  std::printf("write driver_ms=%.2f raw_ms=%.2f ratio=%.3f\n", driver_write, raw_write,
              raw_write / driver_write);
  std::printf("read driver_ms=%.2f raw_ms=%.2f ratio=%.3f\n", driver_read, raw_read,
              raw_read / driver_read);
  return 0;
}

// The POSIX serial port over a bare pseudo-terminal: a gathered write larger than the
// terminal's buffer arrives whole and in order, and a burst larger than the port's read
// buffer is delivered whole, then a read with nothing behind it ends at its time-out.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "drivers/posix/serial_port_posix.h"

namespace morla {
namespace {

// The master end of a fresh pseudo-terminal and the port opened on its slave.
struct PortPair {
  int master = -1;
  std::unique_ptr<SerialPortPosix> port;
  PortPair() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    port = SerialPortPosix::open(ptsname(master));
  }
  ~PortPair() {
    port.reset();
    if (master >= 0) ::close(master);
  }
};

std::vector<uint8_t> counting(size_t count, uint8_t first) {
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

TEST(SerialPortPosix, GatheredWriteArrivesWholeAndInOrder) {
  PortPair pair;
  ASSERT_TRUE(pair.port);
  const std::vector<std::vector<uint8_t>> parts = {
      counting(5, 1), counting(16, 50), {}, counting(200000, 7), counting(1, 0)};
  std::vector<uint8_t> expected;
  std::vector<WritePiece> pieces;
  for (const auto& part : parts) {
    expected.insert(expected.end(), part.begin(), part.end());
    pieces.push_back({part.data(), part.size()});
  }
  // A slow reader: the terminal's buffer fills, so the write goes out in several parts.
  std::vector<uint8_t> received;
  std::thread reader([&] {
    std::vector<uint8_t> block(4096);
    while (received.size() < expected.size()) {
      pollfd entry{pair.master, POLLIN, 0};
      if (::poll(&entry, 1, 5000) <= 0) return;
      const ssize_t n = ::read(pair.master, block.data(), block.size());
      if (n > 0) received.insert(received.end(), block.begin(), block.begin() + n);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  EXPECT_EQ(pair.port->write_pieces(pieces.data(), pieces.size()), expected.size());
  reader.join();
  EXPECT_EQ(received, expected);
}

TEST(SerialPortPosix, BurstLargerThanTheBufferIsDeliveredWholeThenSilenceTimesOut) {
  PortPair pair;
  ASSERT_TRUE(pair.port);
  const std::vector<uint8_t> burst = counting(10000, 3);
  std::thread writer([&] {
    for (size_t sent = 0; sent < burst.size();) {
      const ssize_t n = ::write(pair.master, burst.data() + sent, burst.size() - sent);
      if (n > 0) sent += static_cast<size_t>(n);
    }
  });
  std::vector<uint8_t> got(burst.size());
  EXPECT_EQ(pair.port->read(got.data(), 1), 1u);
  EXPECT_EQ(pair.port->read(got.data() + 1, got.size() - 1), got.size() - 1);
  writer.join();
  EXPECT_EQ(got, burst);
  pair.port->set_read_timeout(50);
  uint8_t more = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pair.port->read(&more, 1), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  EXPECT_EQ(pair.port->failure(), 0);
}

}  // namespace
}  // namespace morla

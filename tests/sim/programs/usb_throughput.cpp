// Throughput of 1 MiB through the USB driver against the board simulator, beside what the
// same kind of pseudo-terminal allows:
//   ping-pong: the protocol's strict request/reply with exactly its byte counts (a write
//     exchange sends 1046 bytes and waits for 21; a read exchange sends 21 and waits for
//     1045), between two bare ends that do nothing else, the peer in a process of its own
//     as a board's end is: the limit of any driver of this protocol on this link;
//   stream: the same bytes one way without waiting, for information (no request/reply
//     protocol can reach it).
// Each figure is measured nine times, round by round; prints one line per direction:
// "<direction> driver_ms=<min>/<median> pingpong_ms=<min>/<median> stream_ms=<min>/<median>
//  driver_cpu_ms=<min>/<median> ratio=<pingpong/driver, medians>", where driver_cpu_ms is
// the processor time of the driver's own thread (user + system), which the machine's load
// does not stretch as it does the waits.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "board_simulator.h"
#include "drivers/posix/serial_port_posix.h"
#include "drivers/usb_driver.h"

using namespace morla;

namespace {

constexpr size_t kBytes = size_t{1} << 20;
constexpr size_t kPiece = 1024;
constexpr size_t kExchanges = kBytes / kPiece;
constexpr int kRuns = 9;

struct Timing {
  double min, median;
};

double thread_cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Runs `run` and adds the processor time this thread spent in it to `cpu`.
std::function<void()> counting_cpu(std::function<void()> run, std::vector<double>& cpu) {
  return [run = std::move(run), &cpu] {
    const double before = thread_cpu_ms();
    run();
    cpu.push_back(thread_cpu_ms() - before);
  };
}

Timing min_median(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms.front(), ms[ms.size() / 2]};
}

// Runs every measurement once per round, kRuns rounds, so that a change in the machine's
// load touches all of them alike; min and median of each.
std::vector<Timing> measure(const std::vector<std::function<void()>>& runs) {
  std::vector<std::vector<double>> ms(runs.size());
  for (int round = 0; round < kRuns; ++round)
    for (size_t i = 0; i < runs.size(); ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      runs[i]();
      ms[i].push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
  std::vector<Timing> timings;
  for (auto& m : ms) timings.push_back(min_median(m));
  return timings;
}

// A raw pseudo-terminal: the master end for the peer, the slave end opened like a board's tty.
struct Pty {
  int master = -1, slave = -1;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    fcntl(master, F_SETFL, O_NONBLOCK);
    slave = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings;
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
  }
  ~Pty() {
    ::close(slave);
    ::close(master);
  }
};

// Reads exactly `count` bytes: each wait a poll, then one read of what has come (an
// answer is never there before it is waited for, so reading first would only fail).
bool read_exactly(int fd, uint8_t* buffer, size_t count) {
  size_t got = 0;
  while (got < count) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 5000) <= 0) return false;
    const ssize_t n = ::read(fd, buffer + got, count - got);
    if (n > 0) got += static_cast<size_t>(n);
  }
  return true;
}

bool write_exactly(int fd, const uint8_t* buffer, size_t count) {
  size_t sent = 0;
  while (sent < count) {
    const ssize_t n = ::write(fd, buffer + sent, count - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    pollfd entry{fd, POLLOUT, 0};
    if (::poll(&entry, 1, 5000) <= 0) return false;
  }
  return true;
}

// Starts `peer` in a child process (a board's end is not a thread of the host's), which
// touches only buffers made before the fork and makes system calls; the host runs its own
// side meanwhile, then waits for the child.
template <typename Peer>
pid_t spawn(Peer peer) {
  const pid_t child = fork();
  if (child == 0) {
    peer();
    _exit(0);
  }
  return child;
}

void wait_for(pid_t child) {
  if (child > 0) waitpid(child, nullptr, 0);
}

// kExchanges request/reply rounds of the given sizes between host (slave) and peer (master).
void ping_pong(size_t request, size_t reply) {
  Pty pty;
  std::vector<uint8_t> out(request, 0x33), in(reply);
  std::vector<uint8_t> peer_in(request), peer_out(reply, 0x5A);
  const pid_t peer = spawn([&] {
    for (size_t i = 0; i < kExchanges; ++i)
      if (!read_exactly(pty.master, peer_in.data(), request) ||
          !write_exactly(pty.master, peer_out.data(), reply))
        return;
  });
  for (size_t i = 0; i < kExchanges && peer > 0; ++i)
    if (!write_exactly(pty.slave, out.data(), request) ||
        !read_exactly(pty.slave, in.data(), reply))
      break;
  wait_for(peer);
}

// kBytes one way in large blocks.
void stream(bool host_writes) {
  Pty pty;
  std::vector<uint8_t> block(1 << 16, 0x5A), peer_block(1 << 16);
  auto pump = [&](int fd, bool write, std::vector<uint8_t>& buffer) {
    for (size_t done = 0; done < kBytes;) {
      const size_t n = std::min(buffer.size(), kBytes - done);
      if (!(write ? write_exactly(fd, buffer.data(), n) : read_exactly(fd, buffer.data(), n)))
        return;
      done += n;
    }
  };
  const pid_t peer = spawn([&] { pump(pty.master, !host_writes, peer_block); });
  if (peer > 0) pump(pty.slave, host_writes, block);
  wait_for(peer);
}

void print(const char* direction, Timing driver, Timing pingpong, Timing streamed, Timing cpu) {
  std::printf(
      "%s driver_ms=%.2f/%.2f pingpong_ms=%.2f/%.2f stream_ms=%.2f/%.2f "
      "driver_cpu_ms=%.2f/%.2f ratio=%.3f\n",
      direction, driver.min, driver.median, pingpong.min, pingpong.median, streamed.min,
      streamed.median, cpu.min, cpu.median, pingpong.median / driver.median);
}

}  // namespace

int main() {
  std::vector<uint8_t> data(kBytes, 0x33);
  sim::BoardSimulator board(sim::orbi_board(1));
  setenv("MORLA_SERIAL_PORT", board.port_path().c_str(), 1);
  unsetenv("NO_USB");
  UsbDriver driver;
  std::vector<double> write_cpu, read_cpu;
  const std::vector<Timing> t = measure({
      counting_cpu([&] { driver.write(0x24000000, data.data(), kBytes); }, write_cpu),
      counting_cpu([&] { driver.read(0x24000000, data.data(), kBytes); }, read_cpu),
      // Write exchange: header 5 + command 16 + piece + the 0x00 after a whole piece; reply 21.
      [] { ping_pong(5 + 16 + kPiece + 1, 21); },
      // Read exchange: header 5 + command 16; reply marker 1 + length 4 + command 16 + piece.
      [] { ping_pong(21, 1 + 4 + 16 + kPiece); },
      [] { stream(true); },
      [] { stream(false); },
  });
  print("write", t[0], t[2], t[4], min_median(write_cpu));
  print("read", t[1], t[3], t[5], min_median(read_cpu));
  return 0;
}

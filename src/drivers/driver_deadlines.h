#pragma once
// How long the USB driver and its SoC side (clock, power-monitor buses) wait at each
// step, each a named duration. The defaults are the driver's own; tests pass shorter
// ones to reach a time-out fast.
#include <chrono>

namespace morla {

struct DriverDeadlines {
  // Handshake: one read of the board's answer to the probe, and the whole probe.
  std::chrono::milliseconds probe_read{200};
  std::chrono::milliseconds probe{300};
  // The shell's prompt while the console keeps printing other text.
  std::chrono::milliseconds prompt{1000};
  // A binary exchange: the wait for each next byte of a reply, and for the reply
  // marker while the port delivers other bytes.
  std::chrono::milliseconds reply_byte{1000};
  std::chrono::milliseconds reply_marker{2000};
  // After a failed exchange the line is drained until it has been quiet this long (so
  // that a late answer is not taken for the next one), for at most drain_limit.
  std::chrono::milliseconds drain_quiet{250};
  std::chrono::milliseconds drain_limit{2000};
  // A change of the SoC's clock mode.
  std::chrono::milliseconds clock_change{10};
  // Power-monitor buses: one phase of an I2C transfer, and each awaited condition of the
  // I3C controller (idle, a queue drained, a command complete).
  std::chrono::milliseconds i2c_phase{10};
  std::chrono::milliseconds i3c_wait{10000};
};

}  // namespace morla

#pragma once
// A serial port with a scripted other end: it records what is written, serves
// queued bytes to reads without waiting, and can stop accepting writes.
#include <cstdint>
#include <deque>
#include <vector>

#include "drivers/serial_port.h"

namespace morla::sim {

class ScriptedPort final : public SerialPort {
 public:
  uint32_t read(void* buffer, size_t length) override;
  uint32_t write(const void* buffer, size_t length) override;
  void set_read_timeout(uint32_t) override {}

  void queue(const std::vector<uint8_t>& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }

  std::vector<uint8_t> written;
  std::deque<uint8_t> incoming;
  size_t write_budget = SIZE_MAX;  // bytes accepted before writes come up short
};

}  // namespace morla::sim

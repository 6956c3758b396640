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
  void set_read_timeout(uint32_t milliseconds) override { timeout_ms = milliseconds; }
  uint32_t read_timeout() const override { return timeout_ms; }
  int failure() const override { return failed_with; }
  std::string name() const override { return "scripted port"; }

  void queue(const std::vector<uint8_t>& bytes) {
    incoming.insert(incoming.end(), bytes.begin(), bytes.end());
  }
  // Bytes that arrive once something has been written: the answer to the next command.
  void queue_answer(const std::vector<uint8_t>& bytes) { answer = bytes; }

  std::vector<uint8_t> written;
  std::deque<uint8_t> incoming;
  std::vector<uint8_t> answer;
  size_t write_budget = SIZE_MAX;  // bytes accepted before writes come up short
  uint32_t timeout_ms = 1000;
  int failed_with = 0;  // the errno the port reports as its failure
};

}  // namespace morla::sim

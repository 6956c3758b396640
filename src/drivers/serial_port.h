#pragma once
// A byte stream to the board's serial console.
#include <cstddef>
#include <cstdint>

namespace morla {

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // Bytes delivered: fewer than `length` when the port stays silent past its read
  // timeout, or at once when the port has failed (unplugged).
  virtual uint32_t read(void* buffer, size_t length) = 0;
  // Bytes sent: fewer than `length` when the port fails or stops draining.
  virtual uint32_t write(const void* buffer, size_t length) = 0;
  // How long a read waits for the next byte before it delivers what it has.
  virtual void set_read_timeout(uint32_t milliseconds) = 0;
};

}  // namespace morla

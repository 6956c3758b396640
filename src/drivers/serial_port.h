#pragma once
// A byte stream to the board's serial console.
#include <cstddef>
#include <cstdint>
#include <string>

namespace morla {

// One piece of a gathered write.
struct WritePiece {
  const void* data;
  size_t length;
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // Bytes delivered: fewer than `length` when the port stays silent past its read
  // timeout, or at once when the port has failed (unplugged).
  virtual uint32_t read(void* buffer, size_t length) = 0;
  // Bytes sent: fewer than `length` when the port fails or stops draining.
  virtual uint32_t write(const void* buffer, size_t length) = 0;
  // The pieces one after the other, as one stream: the bytes sent, fewer than their sum
  // when the port fails or stops draining. This form writes them piece by piece; a port
  // that can gather them into one system call does so.
  virtual size_t write_pieces(const WritePiece* pieces, size_t count) {
    size_t sent = 0;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t n = write(pieces[i].data, pieces[i].length);
      sent += n;
      if (n != pieces[i].length) break;
    }
    return sent;
  }
  // How long a read waits for the next byte before it delivers what it has.
  virtual void set_read_timeout(uint32_t milliseconds) = 0;
  virtual uint32_t read_timeout() const = 0;
  // The errno of the port's failure; 0 while it works (a time-out is no failure).
  virtual int failure() const = 0;
  // What the port is called in messages (its device path).
  virtual std::string name() const = 0;

  // Set by the protocol when an exchange has failed, cleared once the line has
  // been drained: the rest of a late answer may still be on its way. Touched
  // only under the protocol mutex.
  bool unsettled() const { return unsettled_; }
  void set_unsettled(bool unsettled) { unsettled_ = unsettled; }

 private:
  bool unsettled_ = false;
};

}  // namespace morla

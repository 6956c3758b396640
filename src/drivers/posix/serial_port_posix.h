#pragma once
// A tty opened raw at 115200 8N1 and held exclusively (another open of the same tty that
// takes the lock, in this process or another, finds it taken; see lock_exclusively); every
// wait is a poll() with a deadline, and a port that reports end of file or an I/O error
// stays failed.
#include <memory>
#include <string>

#include "drivers/posix/file_descriptor.h"
#include "drivers/serial_port.h"

namespace morla {

class SerialPortPosix final : public SerialPort {
 public:
  // Null when the tty cannot be opened, locked or configured, errno telling why
  // (EWOULDBLOCK: another open holds it; a configuration failure is also printed).
  static std::unique_ptr<SerialPortPosix> open(const std::string& path);

  uint32_t read(void* buffer, size_t length) override;
  uint32_t write(const void* buffer, size_t length) override;
  size_t write_pieces(const WritePiece* pieces, size_t count) override;
  void set_read_timeout(uint32_t milliseconds) override { timeout_ms_ = milliseconds; }
  uint32_t read_timeout() const override { return timeout_ms_; }
  int failure() const override { return error_; }
  std::string name() const override { return path_; }

 private:
  SerialPortPosix(FileDescriptor fd, std::string path)
      : fd_(std::move(fd)), path_(std::move(path)) {}
  // Waits for `events` until `deadline`: the poll result events, 0 on time-out.
  short wait(short events, int64_t deadline);
  void fail(const char* operation, size_t asked, size_t done);

  static constexpr size_t kChunk = 1024;
  // Large enough for a whole reply of the binary protocol (1045 bytes) in one read.
  static constexpr size_t kReadBuffer = 4096;
  FileDescriptor fd_;
  std::string path_;
  bool failed_ = false;
  int error_ = 0;  // errno of the failure
  uint32_t timeout_ms_ = 1000;
  // Set when the last read filled the buffer, so more is likely waiting: the next read
  // then goes straight to read(2) and polls only when it finds nothing. After a write
  // (whose answer takes a round trip) the first wait is a poll.
  bool more_waiting_ = false;
  // Bytes received but not yet delivered (the port reads through this buffer).
  uint8_t pending_[kReadBuffer];
  size_t pending_begin_ = 0;
  size_t pending_end_ = 0;
};

}  // namespace morla

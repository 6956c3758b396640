#include "drivers/posix/serial_port_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/platform.h"
#include "drivers/driver_print.h"

namespace morla {

std::unique_ptr<SerialPortPosix> SerialPortPosix::open(const std::string& path) {
  // Locked before the line settings: a process that finds the board taken writes nothing
  // to it, not even a setting, in the middle of the holder's exchanges.
  FileDescriptor file = open_exclusively(path, O_RDWR | O_NOCTTY);
  if (!file.is_open()) return nullptr;
  termios settings;
  if (tcgetattr(file.get(), &settings) != 0) {
    const int error = errno;
    driver_print("tcgetattr failed with error %d.\n", error);
    file.reset();
    errno = error;  // the caller reports why the port did not open
    return nullptr;
  }
  cfmakeraw(&settings);
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (tcsetattr(file.get(), TCSANOW, &settings) != 0) {
    const int error = errno;
    driver_print("tcsetattr failed with error %d.\n", error);
    file.reset();
    errno = error;  // the caller reports why the port did not open
    return nullptr;
  }
  return std::unique_ptr<SerialPortPosix>(new SerialPortPosix(std::move(file), path));
}

short SerialPortPosix::wait(short events, int64_t deadline) {
  while (!failed_) {
    const int64_t left = deadline - time_ms();
    if (left <= 0) return 0;
    pollfd entry{fd_.get(), events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    return entry.revents;
  }
  return 0;
}

void SerialPortPosix::fail(const char* operation, size_t asked, size_t done) {
  const int error = errno;
  failed_ = true;
  error_ = error;
  driver_print("error %s %zu bytes %d %s %zu\r\n", operation, asked, error,
               operation[0] == 'r' ? "read" : "written", done);
  errno = error;
}

uint32_t SerialPortPosix::read(void* buffer, size_t length) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t delivered = 0;
  // The wait is renewed by every byte that arrives, within an overall bound.
  const int64_t start = time_ms();
  const int64_t limit = start + int64_t{timeout_ms_} * static_cast<int64_t>(1 + length / kChunk);
  int64_t deadline = start + timeout_ms_;
  while (delivered < length) {
    if (pending_begin_ < pending_end_) {
      const size_t n = std::min(length - delivered, pending_end_ - pending_begin_);
      std::memcpy(out + delivered, pending_ + pending_begin_, n);
      pending_begin_ += n;
      delivered += n;
      continue;
    }
    if (failed_) break;
    short events = 0;
    ssize_t n = -1;
    const bool tried = std::exchange(more_waiting_, false);
    if (tried) n = ::read(fd_.get(), pending_, kReadBuffer);
    if (!tried || (n < 0 && (errno == EAGAIN || errno == EINTR))) {
      events = wait(POLLIN, std::min(deadline, limit));
      if (events == 0) break;
      n = ::read(fd_.get(), pending_, kReadBuffer);
    }
    if (n > 0) {
      pending_begin_ = 0;
      pending_end_ = static_cast<size_t>(n);
      more_waiting_ = pending_end_ == kReadBuffer;
      deadline = time_ms() + timeout_ms_;
    } else if (n == 0) {
      errno = EIO;  // the other end is gone
      fail("reading", length, delivered);
    } else if ((errno != EAGAIN && errno != EINTR) || (events & (POLLHUP | POLLERR | POLLNVAL))) {
      fail("reading", length, delivered);  // includes a hang-up with nothing left to read
    }
  }
  return static_cast<uint32_t>(delivered);
}

uint32_t SerialPortPosix::write(const void* buffer, size_t length) {
  const WritePiece piece{buffer, length};
  return static_cast<uint32_t>(write_pieces(&piece, 1));
}

size_t SerialPortPosix::write_pieces(const WritePiece* pieces, size_t count) {
  static constexpr size_t kMostPieces = 8;
  if (count > kMostPieces) return SerialPort::write_pieces(pieces, count);
  iovec vector[kMostPieces];
  size_t total = 0, used = 0;
  for (size_t i = 0; i < count; ++i)
    if (pieces[i].length > 0) {
      vector[used++] = {const_cast<void*>(pieces[i].data), pieces[i].length};
      total += pieces[i].length;
    }
  more_waiting_ = false;
  size_t sent = 0, first = 0;
  int64_t deadline = time_ms() + timeout_ms_;
  while (sent < total && !failed_) {
    const ssize_t n = ::writev(fd_.get(), vector + first, static_cast<int>(used - first));
    if (n > 0) {
      sent += static_cast<size_t>(n);
      // Step over what went out: whole pieces, then into the partly written one.
      for (size_t done = static_cast<size_t>(n); done > 0 && first < used;) {
        const size_t step = std::min(done, vector[first].iov_len);
        vector[first].iov_base = static_cast<uint8_t*>(vector[first].iov_base) + step;
        vector[first].iov_len -= step;
        done -= step;
        if (vector[first].iov_len == 0) ++first;
      }
      deadline = time_ms() + timeout_ms_;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      fail("writing", total, sent);
    } else if (const short events = wait(POLLOUT, deadline); events == 0) {
      break;
    } else if (events & (POLLHUP | POLLERR | POLLNVAL)) {
      errno = EIO;
      fail("writing", total, sent);
    }
  }
  return sent;
}

}  // namespace morla

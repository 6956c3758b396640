#pragma once
// An open file descriptor with one owner, closed when the owner goes.
#include <string>
#include <utility>

namespace morla {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  // Takes `fd` over; a negative value owns nothing.
  explicit FileDescriptor(int fd) : fd_(fd < 0 ? -1 : fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Closes the descriptor now, if one is owned.
  void reset();

 private:
  int fd_ = -1;
};

// Opens `path` with `flags` plus close-on-exec, without waiting: O_NONBLOCK is added, so
// that a FIFO does not hold the open until its other end comes (a caller that wants
// blocking I/O clears it again). Retried when a signal interrupts it; owns nothing when
// the open fails (errno tells why).
FileDescriptor open_without_waiting(const std::string& path, int flags);

}  // namespace morla

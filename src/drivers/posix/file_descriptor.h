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

// Takes the exclusive lock of the file `file` is open on, without waiting: a board serves
// one process at a time. The lock (flock) is advisory: it keeps out every other open that
// asks for it, a root process's too, and nothing else (a program that opens the file
// without flock reads and writes it freely). It belongs to the file's inode, so a second
// device node of the same device is a second, separate lock. It ends when the last
// descriptor of this open is closed, also when the process dies. A forked child shares it:
// closing the child's copy does not end it, so it is released by closing only, never
// unlocked. False when it cannot be taken, errno telling why (EWOULDBLOCK: another open of
// the file holds it).
bool lock_exclusively(const FileDescriptor& file);

// open_without_waiting, then lock_exclusively before anything else touches the file:
// owns nothing when either fails, errno telling why.
FileDescriptor open_exclusively(const std::string& path, int flags);

// Why an open_exclusively of `error` failed, for a message: a lock held elsewhere is
// "held by another process", any other error its system text.
const char* open_failure_text(int error);

}  // namespace morla

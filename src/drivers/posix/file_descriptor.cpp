#include "drivers/posix/file_descriptor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morla {

void FileDescriptor::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

FileDescriptor open_without_waiting(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return FileDescriptor(fd);
}

bool lock_exclusively(const FileDescriptor& file) {
  int result;
  do {
    result = ::flock(file.get(), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

FileDescriptor open_exclusively(const std::string& path, int flags) {
  FileDescriptor file = open_without_waiting(path, flags);
  if (file.is_open() && !lock_exclusively(file)) {
    const int error = errno;
    file.reset();
    errno = error;
  }
  return file;
}

const char* open_failure_text(int error) {
  return error == EWOULDBLOCK ? "held by another process" : std::strerror(error);
}

}  // namespace morla

#include "drivers/posix/file_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace morla
